// types.h - the records the firmware reader hands to the rest of the system: global variables
// and the type tree that says how each variable's bytes are laid out.
//
// Every record and every text here lives in the owning ElfImage's arena and stays valid exactly
// as long as that image (elf_close frees them all at once).
#pragma once
#include <cstddef>
#include <cstdint>

// Class of a type record; leaves and the value codec use the same numbers.
typedef int32_t TypeKind;
enum : int32_t {
    TYPE_NONE = 0,     // never produced by the reader; a leaf of kind 0 cannot be decoded
    TYPE_INT = 1,      // signed base types and DW_ATE_UTF (is_signed tells which)
    TYPE_UINT = 2,     // unsigned base types
    TYPE_FLOAT = 3,
    TYPE_BOOL = 4,
    TYPE_STRUCT = 5,   // structure and class types
    TYPE_UNION = 6,
    TYPE_ARRAY = 7,
    TYPE_ENUM = 8,     // enumeration types and each enumerator record
    TYPE_POINTER = 9,  // pointer, reference, rvalue reference, pointer to member
    TYPE_STRING = 10,  // not produced here: the leaf table gives it to long byte arrays
    TYPE_OTHER = 11,   // unknown encodings, function types, unresolvable references
};

// One resolved type, or one structure member / enumerator built from a type.
//
// Bit fields: the value is the storage unit of byte_size bytes at (parent address +
// member_offset), shifted right by bit_offset, masked to bit_size bits. The reader converts
// every producer's convention (DW_AT_bit_offset counted from the most significant bit,
// DW_AT_data_bit_offset counted from the start of the structure) into this one, and picks the
// smallest 1/2/4/8-byte unit that covers a field its own type's unit does not (packed
// structures). A field that no 8-byte unit covers keeps the byte count it spans (above 8):
// it cannot be read or written as one unit.
struct TypeInfo {
    const char* name;          // arena text, or null (an anonymous structure member)
    TypeKind kind;
    uint32_t byte_size;
    int32_t is_signed;
    int32_t is_pointer;
    int32_t is_bitfield;       // members only
    uint8_t bit_offset;        // members only: shift from the least significant bit of the unit
    uint8_t bit_size;          // members only
    uint8_t is_char;           // a character type (char, signed/unsigned char, char8_t): arrays of it are text
    uint8_t reserved;
    uint64_t member_offset;    // members only: byte offset within the enclosing struct/union
    int64_t enum_value;        // enumerator records only
    int32_t element_count;     // arrays: product of all dimensions
    int32_t child_count;
    // struct/union: members in declaration order; enum: enumerators; array: the element type;
    // pointer: the pointee; a typedef of a scalar: its target (of an enum: the enumerators).
    TypeInfo** children;
};
static_assert(sizeof(void*) != 8 || sizeof(TypeInfo) == 64, "TypeInfo layout is shared with the leaf table");
static_assert(sizeof(void*) != 8 || offsetof(TypeInfo, member_offset) == 32, "TypeInfo layout");

// One global variable with a fixed target address. Names are unique within an image's list.
struct GlobalVar {
    const char* name;          // arena text
    uint64_t address;
    uint64_t size;             // bytes, 0 when unknown
    TypeInfo* type;            // null when only the symbol table knew the variable
    int32_t from_debug_info;   // 1 when debug information described the variable
};
static_assert(sizeof(void*) != 8 || sizeof(GlobalVar) == 40, "GlobalVar layout is shared with the leaf table");

// Member names that a debugger's expression parser takes only when quoted (GCC's vtable pointer
// "_vptr.Shape"): s.'_vptr.Shape'.
inline bool type_member_needs_quotes(const char* name) {
    for (const char* p = name; p && *p; p++)
        if (*p == '.') return true;
    return false;
}
