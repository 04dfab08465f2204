// sim_resolve.cpp - finds a firmware variable's location from a dotted path by walking the type
// tree the host hands out through host_find_global.
#include <cstdlib>
#include <cstring>

#include "sim_target.h"

namespace {

// Follows typedef-like wrappers: a record without its own layout that forwards to one child.
const ModuleTypeInfo* member_named(const ModuleTypeInfo* type, const char* name, size_t len) {
    for (int32_t i = 0; i < type->child_count; i++) {
        const ModuleTypeInfo* m = type->children[i];
        if (m && m->name && std::strlen(m->name) == len && std::strncmp(m->name, name, len) == 0) return m;
    }
    return nullptr;
}

}  // namespace

bool sim_resolve_path(const ModuleGlobalVar* (*find_global)(const char* name), const char* path, SimVarLoc* out) {
    if (!find_global || !path || !out) return false;
    size_t head = std::strcspn(path, ".[");
    char global[128];
    if (head == 0 || head >= sizeof global) return false;
    std::memcpy(global, path, head);
    global[head] = 0;
    const ModuleGlobalVar* var = find_global(global);
    if (!var) return false;
    std::memset(out, 0, sizeof *out);
    out->address = var->address;
    out->size = (uint32_t)var->size;
    const ModuleTypeInfo* type = var->type;
    out->kind = type ? type->kind : KX_TYPE_OTHER;
    const char* p = path + head;
    while (*p) {
        if (!type) return false;
        if (*p == '.') {
            p++;
            size_t len = std::strcspn(p, ".[");
            if ((type->kind != KX_TYPE_STRUCT && type->kind != KX_TYPE_UNION) || len == 0) return false;
            const ModuleTypeInfo* m = member_named(type, p, len);
            if (!m) return false;
            out->address += m->member_offset;
            out->is_bitfield = m->is_bitfield;
            out->bit_offset = m->bit_offset;
            out->bit_size = m->bit_size;
            type = m;
            p += len;
        } else if (*p == '[') {
            char* end = nullptr;
            long index = std::strtol(p + 1, &end, 10);
            if (!end || *end != ']' || index < 0 || type->kind != KX_TYPE_ARRAY || type->child_count < 1 ||
                !type->children[0] || index >= type->element_count)
                return false;
            const ModuleTypeInfo* element = type->children[0];
            uint32_t stride = element->byte_size ? element->byte_size : 1;
            out->address += (uint64_t)index * stride;
            out->is_bitfield = 0;
            type = element;
            p = end + 1;
        } else {
            return false;
        }
        out->size = type->byte_size ? type->byte_size : 1;
        out->kind = type->kind;
    }
    if (type && type->byte_size) out->size = type->byte_size;
    return true;
}
