// fw_cpp.cpp - C++ test firmware: namespaces, class statics, inheritance, a virtual class,
// references, pointers to members, scoped enumerations, templates. Every variable has a
// distinctive initial value so that a debugger reading the file sees what the reader should.
#include <stdint.h>

#define KEEP __attribute__((used))

namespace ns {
KEEP int32_t counter = 0x1234;
namespace inner {
KEEP float gain = 2.5f;
struct Vec {
    int16_t x, y;
};
KEEP Vec offsets[2] = {{1, -2}, {3, -4}};
}  // namespace inner
int32_t ns_tick();
}  // namespace ns

namespace {
KEEP uint32_t hidden = 0xABCD1234u;
}

// Static data members are not part of the object: writing g_cfg.b must not touch Cfg::level.
struct Cfg {
    int32_t a;
    static int32_t level;
    uint16_t b;
    static const uint8_t table[4];
    // In-class constants: GCC gives the definition no location, only the mangled symbol has
    // the address (taken below, so the constant lives in flash).
    static constexpr int32_t limit = 1500;
};
KEEP const int32_t* cfg_limit() { return &Cfg::limit; }
KEEP int32_t Cfg::level = -77;
KEEP const uint8_t Cfg::table[4] = {9, 8, 7, 6};
KEEP Cfg g_cfg = {0x11111111, 0x2222};

class Klass {
  public:
    static uint16_t table[3];
    uint8_t id;
};
KEEP uint16_t Klass::table[3] = {100, 200, 300};
KEEP Klass g_klass = {5};

struct Base {
    uint32_t base_a;
    uint16_t base_b;
};
struct Mid : Base {
    int8_t mid_c;
};
struct Derived : Mid {
    float own;
};
KEEP Derived g_derived = {{{0xB0B0B0B0u, 0xB1B1}, -3}, 6.5f};

struct Shape {
    virtual int area() const { return w; }
    int32_t w = 3;
};
struct Square : Shape {
    int area() const override { return w * side; }
    int32_t side = 4;
};
KEEP Square g_square;
KEEP Shape* g_shape = &g_square;

KEEP int32_t g_target = 99;
KEEP int32_t& g_ref = g_target;
struct Holder {
    int32_t& ref;
    int32_t value;
};
KEEP Holder g_holder = {g_target, 7};

struct Motor {
    int32_t speed;
    int32_t torque;
    void stop() { speed = 0; }
};
KEEP int32_t Motor::*g_field_ptr = &Motor::torque;
KEEP void (Motor::*g_method_ptr)() = &Motor::stop;

enum class Color : uint8_t { Red = 1, Green = 2, Blue = 200 };
enum class Big : uint64_t { Small = 1, Huge = 0x8000000000000001ull, Top = 0xFFFFFFFFFFFFFFF0ull };
enum class Neg : int16_t { Minus = -5, Plus = 5 };
enum class Mode : uint8_t { Off, On, Auto };
KEEP Color g_color = Color::Blue;
KEEP Big g_big = Big::Huge;
KEEP Big g_top = Big::Top;
KEEP Neg g_neg = Neg::Minus;

// Enumerations in bit fields keep their enumerators.
struct Pixel {
    Mode mode : 2;
    Color color : 8;
    uint8_t level : 5;
    bool lit : 1;
};
KEEP Pixel g_pixel = {Mode::Auto, Color::Green, 17, true};

template <typename T, int N>
struct Ring {
    T data[N];
    uint8_t head;
};
KEEP Ring<int16_t, 3> g_ring16 = {{-1, 2, -3}, 1};
KEEP Ring<float, 2> g_ringf = {{0.5f, 1.5f}, 0};

template <typename T>
struct Stat {
    static T value;
};
template <>
KEEP int32_t Stat<int32_t>::value = 42;

// Anonymous members are named as members of the parent.
struct Anon {
    union {
        uint32_t word;
        uint8_t bytes[4];
    };
    struct {
        uint16_t lo, hi;
    } parts;
};
KEEP Anon g_anon = {{0x01020304u}, {0x0506, 0x0708}};

int32_t fw_cpp_tick() {
    static int32_t calls = 5;
    return ++calls + ns::ns_tick();
}

int32_t ns::ns_tick() {
    static int32_t ns_calls = 6;
    return ns_calls++;
}

extern "C" void Reset_Handler(void) {
    for (;;) {
        Motor m = {1, 2};
        (m.*g_method_ptr)();
        g_target += fw_cpp_tick() + g_shape->area() + m.*g_field_ptr + g_ref + (int32_t)hidden;
    }
}
