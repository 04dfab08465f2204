// kxpoke_find.cpp - selecting the window a command acts on: top-level windows by class and title,
// descendants by id, class and text, retried while --wait runs.
#include <cwchar>

#include "kxpoke.h"

unsigned long long now_ms() { return GetTickCount64(); }

bool send_message(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam, LRESULT* result) {
    DWORD_PTR value = 0;
    LRESULT ok = SendMessageTimeoutW(hwnd, msg, wparam, lparam, SMTO_ABORTIFHUNG | SMTO_BLOCK,
                                     POKE_SEND_TIMEOUT_MS, &value);
    if (result) *result = static_cast<LRESULT>(value);
    return ok != 0;
}

int window_text(HWND hwnd, wchar_t* out, int capacity) {
    out[0] = 0;
    LRESULT length = 0;
    // WM_GETTEXT is marshalled across processes and reaches the control's own text (an edit's
    // buffer), which GetWindowText does not for windows of another process.
    if (!send_message(hwnd, WM_GETTEXT, static_cast<WPARAM>(capacity), reinterpret_cast<LPARAM>(out),
                      &length)) {
        length = GetWindowTextW(hwnd, out, capacity);
    }
    if (length < 0) length = 0;
    if (length >= capacity) length = capacity - 1;
    out[length] = 0;
    return static_cast<int>(length);
}

int window_class(HWND hwnd, wchar_t* out, int capacity) {
    int n = GetClassNameW(hwnd, out, capacity);
    if (n <= 0) out[0] = 0;
    return n > 0 ? n : 0;
}

bool args_have_top_selector(const PokeArgs* args) {
    return args->cls || args->title || args->title_has || args->has_hwnd;
}

bool args_have_child_selector(const PokeArgs* args) {
    return args->has_child_id || args->child_class || args->child_text;
}

namespace {

// Whether one top-level window passes the class and title selectors.
bool top_matches(const PokeArgs* args, HWND hwnd) {
    wchar_t buffer[POKE_MATCH_TEXT];
    if (args->cls) {
        window_class(hwnd, buffer, POKE_MATCH_TEXT);
        if (_wcsicmp(buffer, args->cls) != 0) return false;
    }
    if (args->title || args->title_has) {
        // Top-level captions are stored by the window manager; reading them sends no message, so
        // a hung window cannot stall the search.
        if (GetWindowTextW(hwnd, buffer, POKE_MATCH_TEXT) <= 0) buffer[0] = 0;
        if (args->title && wcscmp(buffer, args->title) != 0) return false;
        if (args->title_has && !wcsstr(buffer, args->title_has)) return false;
    }
    return true;
}

// State of one EnumWindows pass.
struct TopSearch {
    const PokeArgs* args;
    HWND* out;
    int capacity;
    int count;
};

BOOL CALLBACK collect_top(HWND hwnd, LPARAM param) {
    TopSearch* search = reinterpret_cast<TopSearch*>(param);
    if (search->count < search->capacity && top_matches(search->args, hwnd))
        search->out[search->count++] = hwnd;
    return TRUE;
}

// State of one EnumChildWindows pass.
struct ChildSearch {
    const PokeArgs* args;
    const wchar_t* cls;  // set for find_descendant_of_class
    HWND found;
};

bool child_matches(const PokeArgs* args, HWND hwnd) {
    if (args->has_child_id) {
        // Ids are matched both signed and unsigned so that -1 and 0xFFFFFFFF name the same control.
        int id = GetDlgCtrlID(hwnd);
        if (static_cast<long long>(id) != args->child_id &&
            static_cast<long long>(static_cast<unsigned>(id)) != args->child_id) {
            return false;
        }
    }
    wchar_t buffer[POKE_MATCH_TEXT];
    if (args->child_class) {
        window_class(hwnd, buffer, POKE_MATCH_TEXT);
        if (_wcsicmp(buffer, args->child_class) != 0) return false;
    }
    if (args->child_text) {
        window_text(hwnd, buffer, POKE_MATCH_TEXT);
        if (wcscmp(buffer, args->child_text) != 0) return false;
    }
    return true;
}

BOOL CALLBACK match_child(HWND hwnd, LPARAM param) {
    ChildSearch* search = reinterpret_cast<ChildSearch*>(param);
    bool hit;
    if (search->cls) {
        wchar_t buffer[256];
        window_class(hwnd, buffer, 256);
        hit = _wcsicmp(buffer, search->cls) == 0;
    } else {
        hit = child_matches(search->args, hwnd);
    }
    if (hit) {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

// One pass of the search without waiting.
HWND select_once(const PokeArgs* args, const wchar_t* default_child_class) {
    static HWND tops[POKE_MAX_WINDOWS];
    int count = find_top_windows(args, tops, POKE_MAX_WINDOWS);
    bool want_child = args_have_child_selector(args);
    for (int i = 0; i < count; ++i) {
        if (want_child) {
            HWND child = find_child(args, tops[i]);
            if (child) return child;
        } else if (default_child_class) {
            HWND child = find_descendant_of_class(tops[i], default_child_class);
            if (child) return child;
        } else {
            return tops[i];
        }
    }
    return nullptr;
}

}  // namespace

int find_top_windows(const PokeArgs* args, HWND* out, int capacity) {
    if (args->has_hwnd) {
        if (!IsWindow(args->hwnd) || !top_matches(args, args->hwnd) || capacity < 1) return 0;
        if (args->visible_only && !IsWindowVisible(args->hwnd)) return 0;
        out[0] = args->hwnd;
        return 1;
    }
    TopSearch search = {args, out, capacity, 0};
    EnumWindows(collect_top, reinterpret_cast<LPARAM>(&search));
    // Visible windows first: an application's hidden helper windows often share its title.
    int visible = 0;
    for (int i = 0; i < search.count; ++i) {
        if (IsWindowVisible(out[i])) {
            HWND keep = out[i];
            for (int j = i; j > visible; --j) out[j] = out[j - 1];
            out[visible++] = keep;
        }
    }
    // A closed popup menu may linger hidden for a moment: --visible waits for the one on screen.
    return args->visible_only ? visible : search.count;
}

HWND find_child(const PokeArgs* args, HWND top) {
    ChildSearch search = {args, nullptr, nullptr};
    EnumChildWindows(top, match_child, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND find_descendant_of_class(HWND top, const wchar_t* cls) {
    wchar_t buffer[256];
    window_class(top, buffer, 256);
    if (_wcsicmp(buffer, cls) == 0) return top;
    ChildSearch search = {nullptr, cls, nullptr};
    EnumChildWindows(top, match_child, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND select_target(const PokeArgs* args, const wchar_t* default_child_class) {
    unsigned long long deadline = now_ms() + static_cast<unsigned long long>(args->wait_ms);
    for (;;) {
        HWND hwnd = select_once(args, default_child_class);
        if (hwnd) return hwnd;
        if (now_ms() >= deadline) break;
        Sleep(50);
    }
    if (args_have_child_selector(args)) err_printf("no matching child window");
    else if (default_child_class) err_printf("no window of class %s", utf8_of(default_child_class));
    else err_printf("no matching window");
    return nullptr;
}
