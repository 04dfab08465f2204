// dwarf_types.cpp - type resolution and variable extraction from the decoded DWARF entries.
//
// [SECTION] Helpers
// [SECTION] Structures, members and bit fields
// [SECTION] Enumerations and arrays
// [SECTION] Type resolution
// [SECTION] Variables
//
// Type records live in the image's arena. Names point into the file bytes (.debug_str or the
// entry itself) where they can, which live exactly as long as the image too.
#include <cstring>

#include "core/text.h"
#include "firmware/dwarf.h"

// [SECTION] Helpers -----------------------------------------------------------------------------

namespace {

// The attributes type resolution looks at, gathered from one entry.
struct TypeAttrs {
    const char* name;
    uint64_t byte_size;
    uint64_t encoding;
    uint64_t type_ref;
    bool has_byte_size;
    bool has_encoding;
    bool has_type;
};

TypeAttrs gather_type_attrs(const DwarfUnit* unit, int32_t index) {
    TypeAttrs t = {};
    DwarfAttr attrs[DWARF_ATTR_CAPACITY];
    int n = dwarf_entry_attrs(unit, index, attrs, DWARF_ATTR_CAPACITY);
    for (int i = 0; i < n; i++) {
        const DwarfAttr& a = attrs[i];
        switch (a.code) {
            case DW_AT_name: t.name = dwarf_attr_string(unit, &a); break;
            case DW_AT_byte_size: t.byte_size = dwarf_attr_constant(&a); t.has_byte_size = true; break;
            case DW_AT_encoding: t.encoding = dwarf_attr_constant(&a); t.has_encoding = true; break;
            case DW_AT_type: t.type_ref = dwarf_attr_constant(&a); t.has_type = true; break;
            default: break;
        }
    }
    return t;
}

TypeInfo* type_new(DwarfUnit* unit, TypeKind kind, const char* name) {
    TypeInfo* t = static_cast<TypeInfo*>(elf_arena_alloc(unit->image, sizeof(TypeInfo)));
    if (!t) return nullptr;
    t->kind = kind;
    t->name = name;
    return t;
}

// Resolves the type entry at a .debug_info offset (any accepted unit); null when not found.
TypeInfo* resolve_ref(DwarfUnit* unit, uint64_t offset, int depth) {
    DwarfUnit* target_unit = nullptr;
    int32_t target = -1;
    if (dwarf_find_entry(unit->image, offset, &target_unit, &target) != 0) return nullptr;
    return dwarf_resolve_type(target_unit, target, depth);
}

// Direct children of an entry: the next sibling of child j is j + its descendants + 1.
int32_t first_child(const DwarfUnit* unit, int32_t index) {
    return unit->entries[index].descendant_count > 0 ? index + 1 : -1;
}
int32_t next_child(const DwarfUnit* unit, int32_t parent, int32_t child) {
    int32_t next = child + unit->entries[child].descendant_count + 1;
    return next <= parent + unit->entries[parent].descendant_count ? next : -1;
}

int32_t count_children(const DwarfUnit* unit, int32_t index, uint64_t tag) {
    int32_t n = 0;
    for (int32_t c = first_child(unit, index); c >= 0; c = next_child(unit, index, c))
        if (dwarf_entry_tag(unit, c) == tag) n++;
    return n;
}

TypeInfo** children_new(DwarfUnit* unit, int32_t count) {
    return static_cast<TypeInfo**>(elf_arena_alloc(unit->image, sizeof(TypeInfo*) * static_cast<size_t>(count)));
}

// A record with one child (array element, pointee, typedef target).
void set_single_child(DwarfUnit* unit, TypeInfo* t, TypeInfo* child) {
    if (!child) return;
    t->children = children_new(unit, 1);
    if (!t->children) return;
    t->children[0] = child;
    t->child_count = 1;
}

// Member offset from DW_AT_data_member_location: a constant, or an expression (exprloc, or a
// block from DWARF 2 and 3 producers) whose first operation is DW_OP_plus_uconst or DW_OP_constu.
uint64_t member_location(const DwarfUnit* unit, const DwarfAttr& a) {
    switch (a.cls) {
        case ATTR_DATA: case ATTR_UDATA: case ATTR_SDATA: case ATTR_ADDRX: return a.value;
        case ATTR_EXPRLOC: case ATTR_BLOCK: {
            if (a.value == 0 || !a.data) return 0;
            uint8_t op = a.data[0];
            if (op == DW_OP_constu || (op == DW_OP_plus_uconst && a.value >= 2)) {
                uint64_t v = 0;
                unsigned shift = 0;
                for (uint64_t i = 1; i < a.value; i++) {
                    if (shift < 64) v |= static_cast<uint64_t>(a.data[i] & 0x7F) << shift;
                    shift += 7;
                    if (!(a.data[i] & 0x80)) break;
                }
                return v;
            }
            return dwarf_eval_location(unit, a.data, a.value);
        }
        default: return 0;
    }
}

// [SECTION] Structures, members and bit fields ------------------------------------------------

// The attributes of one member entry.
struct MemberAttrs {
    const char* name;
    uint64_t type_ref;
    uint64_t location;
    uint64_t bit_offset;       // DW_AT_bit_offset: from the most significant bit of the unit
    uint64_t data_bit_offset;  // DW_AT_data_bit_offset: from the start of the structure
    uint64_t bit_size;
    uint64_t byte_size;        // the member's own storage unit size (DWARF 2 to 4 bit fields)
    bool has_type, has_bit_offset, has_data_bit_offset, has_bit_size, has_byte_size, artificial;
};

MemberAttrs gather_member_attrs(const DwarfUnit* unit, int32_t index) {
    MemberAttrs m = {};
    DwarfAttr attrs[DWARF_ATTR_CAPACITY];
    int n = dwarf_entry_attrs(unit, index, attrs, DWARF_ATTR_CAPACITY);
    for (int i = 0; i < n; i++) {
        const DwarfAttr& a = attrs[i];
        switch (a.code) {
            case DW_AT_name: m.name = dwarf_attr_string(unit, &a); break;
            case DW_AT_type: m.type_ref = dwarf_attr_constant(&a); m.has_type = true; break;
            case DW_AT_bit_offset: m.bit_offset = dwarf_attr_constant(&a); m.has_bit_offset = true; break;
            case DW_AT_data_bit_offset:
                m.data_bit_offset = dwarf_attr_constant(&a);
                m.has_data_bit_offset = true;
                break;
            case DW_AT_bit_size: m.bit_size = dwarf_attr_constant(&a); m.has_bit_size = true; break;
            case DW_AT_byte_size: m.byte_size = dwarf_attr_constant(&a); m.has_byte_size = true; break;
            case DW_AT_artificial: m.artificial = dwarf_attr_constant(&a) != 0; break;
            case DW_AT_data_member_location: m.location = member_location(unit, a); break;
            default: break;
        }
    }
    return m;
}

// Places a bit field so that its value is the storage unit (unit_bytes at member_offset)
// shifted right by bit_offset. `position` is the field's first bit counted from the start of
// the structure in the target's own numbering: from the least significant bit of the first byte
// on little-endian targets, from the most significant bit on big-endian ones.
void place_bitfield(TypeInfo* m, int64_t position, uint64_t bit_size, uint64_t unit_bytes, bool little) {
    if (position < 0 || unit_bytes == 0 || unit_bytes > 8 || bit_size == 0 || bit_size > unit_bytes * 8) return;
    uint64_t bits = static_cast<uint64_t>(position);
    uint64_t start = (bits / 8) / unit_bytes * unit_bytes;  // the aligned storage unit
    uint64_t rel = bits - start * 8;
    if (rel + bit_size > unit_bytes * 8) {
        // A packed field straddles aligned units: read the unit from the field's first byte.
        start = bits / 8;
        rel = bits % 8;
        if (rel + bit_size > unit_bytes * 8) return;
    }
    m->member_offset = start;
    m->bit_offset = static_cast<uint8_t>(little ? rel : unit_bytes * 8 - rel - bit_size);
}

// Builds one member record, or null when it is left out.
TypeInfo* member_make(DwarfUnit* unit, int32_t index, int depth) {
    MemberAttrs m = gather_member_attrs(unit, index);
    if (m.artificial && !m.name) return nullptr;
    TypeInfo* type = m.has_type ? resolve_ref(unit, m.type_ref, depth + 1) : nullptr;
    if (!type && m.has_type && !m.name) return nullptr;
    TypeInfo* rec = type_new(unit, TYPE_OTHER, type ? m.name : (m.name ? m.name : "?"));
    if (!rec) return nullptr;
    rec->member_offset = m.location;
    if (!type) return rec;
    rec->kind = type->kind;
    rec->byte_size = type->byte_size;
    rec->is_signed = type->is_signed;
    rec->is_pointer = type->is_pointer;
    rec->element_count = type->element_count;
    rec->child_count = type->child_count;
    rec->children = type->children;
    if (!m.has_bit_size) return rec;
    rec->is_bitfield = 1;
    rec->bit_size = static_cast<uint8_t>(m.bit_size);
    // Both conventions become one bit position counted from the start of the structure in
    // the target's numbering; the field is then read through a unit of the member type's size.
    bool little = unit->image->little_endian != 0;
    int64_t position = -1;
    if (m.has_data_bit_offset) {
        position = static_cast<int64_t>(m.location * 8 + m.data_bit_offset);
    } else if (m.has_bit_offset) {
        // Counted from the most significant bit of a storage unit of unit_bytes at the location.
        uint64_t unit_bytes = m.has_byte_size ? m.byte_size : type->byte_size;
        position = little ? static_cast<int64_t>(m.location * 8 + unit_bytes * 8 - m.bit_offset - m.bit_size)
                          : static_cast<int64_t>(m.location * 8 + m.bit_offset);
    }
    place_bitfield(rec, position, m.bit_size, type->byte_size, little);
    return rec;
}

TypeInfo* struct_make(DwarfUnit* unit, int32_t index, const TypeAttrs& attrs, uint64_t tag, int depth) {
    const char* word = tag == DW_TAG_union_type ? "union" : "struct";
    char name[128];
    if (attrs.name) text_printf(name, sizeof name, "%s %s", word, attrs.name);
    else text_copy(name, sizeof name, word);
    TypeInfo* t = type_new(unit, tag == DW_TAG_union_type ? TYPE_UNION : TYPE_STRUCT, nullptr);
    if (!t) return nullptr;
    t->name = elf_arena_strdup(unit->image, name);
    t->byte_size = attrs.has_byte_size ? static_cast<uint32_t>(attrs.byte_size) : 0;
    int32_t members = count_children(unit, index, DW_TAG_member);
    if (members == 0) return t;
    t->children = children_new(unit, members);
    if (!t->children) return t;
    for (int32_t c = first_child(unit, index); c >= 0; c = next_child(unit, index, c)) {
        if (dwarf_entry_tag(unit, c) != DW_TAG_member) continue;
        TypeInfo* m = member_make(unit, c, depth);
        if (m && t->child_count < members) t->children[t->child_count++] = m;
    }
    return t;
}

// [SECTION] Enumerations and arrays -------------------------------------------------------------

TypeInfo* enum_make(DwarfUnit* unit, int32_t index, const TypeAttrs& attrs) {
    TypeInfo* t = type_new(unit, TYPE_ENUM, attrs.name ? attrs.name : "enum");
    if (!t) return nullptr;
    t->byte_size = attrs.has_byte_size ? static_cast<uint32_t>(attrs.byte_size) : 4;
    int32_t count = count_children(unit, index, DW_TAG_enumerator);
    if (count == 0) return t;
    t->children = children_new(unit, count);
    if (!t->children) return t;
    for (int32_t c = first_child(unit, index); c >= 0; c = next_child(unit, index, c)) {
        if (dwarf_entry_tag(unit, c) != DW_TAG_enumerator || t->child_count >= count) continue;
        DwarfAttr attrs_e[DWARF_ATTR_CAPACITY];
        int n = dwarf_entry_attrs(unit, c, attrs_e, DWARF_ATTR_CAPACITY);
        const char* name = nullptr;
        int64_t value = 0;
        for (int i = 0; i < n; i++) {
            if (attrs_e[i].code == DW_AT_name) name = dwarf_attr_string(unit, &attrs_e[i]);
            if (attrs_e[i].code == DW_AT_const_value) value = static_cast<int64_t>(dwarf_attr_constant(&attrs_e[i]));
        }
        TypeInfo* e = type_new(unit, TYPE_ENUM, name ? name : "?");
        if (!e) continue;
        e->enum_value = value;
        t->children[t->child_count++] = e;
    }
    return t;
}

// Product of the subrange dimensions; has_factor tells whether any subrange gave one.
uint64_t array_count(const DwarfUnit* unit, int32_t index, bool* has_factor) {
    uint64_t product = 0;
    *has_factor = false;
    for (int32_t c = first_child(unit, index); c >= 0; c = next_child(unit, index, c)) {
        if (dwarf_entry_tag(unit, c) != DW_TAG_subrange_type) continue;
        DwarfAttr attrs[DWARF_ATTR_CAPACITY];
        int n = dwarf_entry_attrs(unit, c, attrs, DWARF_ATTR_CAPACITY);
        bool has_count = false, has_upper = false;
        uint64_t count = 0, upper = 0, lower = 0;
        for (int i = 0; i < n; i++) {
            if (attrs[i].code == DW_AT_count) { count = dwarf_attr_constant(&attrs[i]); has_count = true; }
            if (attrs[i].code == DW_AT_upper_bound) { upper = dwarf_attr_constant(&attrs[i]); has_upper = true; }
            if (attrs[i].code == DW_AT_lower_bound) lower = dwarf_attr_constant(&attrs[i]);
        }
        uint64_t factor;
        if (has_count) factor = count;
        else if (has_upper) factor = upper - lower + 1;
        else continue;
        *has_factor = true;
        if (product == 0) product = factor;
        else if (factor != 0) product *= factor;
    }
    return product;
}

TypeInfo* array_make(DwarfUnit* unit, int32_t index, const TypeAttrs& attrs, int depth) {
    TypeInfo* element = attrs.has_type ? resolve_ref(unit, attrs.type_ref, depth + 1) : nullptr;
    TypeInfo* t = type_new(unit, TYPE_ARRAY, attrs.name ? attrs.name : "");
    if (!t) return nullptr;
    bool has_factor = false;
    uint64_t count = array_count(unit, index, &has_factor);
    if (!has_factor) {
        count = 0;
        if (attrs.has_byte_size && attrs.byte_size && element && element->byte_size)
            count = attrs.byte_size / element->byte_size;
    }
    t->element_count = static_cast<int32_t>(static_cast<uint32_t>(count));
    uint64_t element_size = element ? element->byte_size : 1;
    t->byte_size = static_cast<uint32_t>(attrs.has_byte_size ? attrs.byte_size
                                                             : element_size * static_cast<uint32_t>(count));
    set_single_child(unit, t, element);
    return t;
}

// [SECTION] Type resolution ---------------------------------------------------------------------

TypeInfo* base_make(DwarfUnit* unit, const TypeAttrs& attrs) {
    TypeKind kind = TYPE_OTHER;
    int32_t is_signed = 0;
    if (attrs.has_encoding) {
        switch (attrs.encoding) {
            case 0x02: kind = TYPE_BOOL; break;
            case 0x04: kind = TYPE_FLOAT; break;
            case 0x05: case 0x06: case 0x0D: kind = TYPE_INT; is_signed = 1; break;
            case 0x07: case 0x08: case 0x0E: kind = TYPE_UINT; break;
            case 0x10: kind = TYPE_INT; break;
            default: break;
        }
    }
    TypeInfo* t = type_new(unit, kind, attrs.name ? attrs.name : "int");
    if (!t) return nullptr;
    t->is_signed = is_signed;
    t->byte_size = attrs.has_byte_size ? static_cast<uint32_t>(attrs.byte_size) : 4;
    return t;
}

TypeInfo* pointer_make(DwarfUnit* unit, const TypeAttrs& attrs, int depth) {
    TypeInfo* t = type_new(unit, TYPE_POINTER, attrs.name ? attrs.name : "void*");
    if (!t) return nullptr;
    t->is_pointer = 1;
    t->byte_size = attrs.has_byte_size ? static_cast<uint32_t>(attrs.byte_size) : (unit->image->is64 ? 8 : 4);
    if (attrs.has_type) set_single_child(unit, t, resolve_ref(unit, attrs.type_ref, depth + 1));
    return t;
}

TypeInfo* typedef_make(DwarfUnit* unit, const TypeAttrs& attrs, int depth) {
    TypeInfo* target = attrs.has_type ? resolve_ref(unit, attrs.type_ref, depth + 1) : nullptr;
    if (!target) {
        TypeInfo* t = type_new(unit, TYPE_OTHER, attrs.name ? attrs.name : "?");
        if (t && attrs.has_byte_size) t->byte_size = static_cast<uint32_t>(attrs.byte_size);
        return t;
    }
    switch (target->kind) {
        case TYPE_INT: case TYPE_UINT: case TYPE_FLOAT: case TYPE_BOOL: case TYPE_ENUM: case TYPE_POINTER: break;
        default: return target;
    }
    TypeInfo* t = type_new(unit, target->kind, attrs.name ? attrs.name : target->name);
    if (!t) return nullptr;
    t->byte_size = target->byte_size;
    t->is_signed = target->is_signed;
    t->is_pointer = target->is_pointer;
    if (target->kind == TYPE_ENUM) {
        t->children = target->children;
        t->child_count = target->child_count;
    } else {
        set_single_child(unit, t, target);
    }
    return t;
}

}  // namespace

TypeInfo* dwarf_resolve_type(DwarfUnit* unit, int32_t index, int depth) {
    if (!unit || depth > DWARF_MAX_TYPE_DEPTH || index < 0 || index >= unit->entry_count) return nullptr;
    if (unit->type_cache[index]) return unit->type_cache[index];
    TypeAttrs attrs = gather_type_attrs(unit, index);
    uint64_t tag = dwarf_entry_tag(unit, index);
    TypeInfo* t = nullptr;
    switch (tag) {
        case DW_TAG_base_type: t = base_make(unit, attrs); break;
        case DW_TAG_structure_type: case DW_TAG_class_type: case DW_TAG_union_type:
            t = struct_make(unit, index, attrs, tag, depth);
            break;
        case DW_TAG_enumeration_type: t = enum_make(unit, index, attrs); break;
        case DW_TAG_array_type: t = array_make(unit, index, attrs, depth); break;
        case DW_TAG_pointer_type: case DW_TAG_reference_type: case DW_TAG_ptr_to_member_type:
        case DW_TAG_rvalue_reference_type:
            t = pointer_make(unit, attrs, depth);
            break;
        case DW_TAG_typedef: t = typedef_make(unit, attrs, depth); break;
        case DW_TAG_const_type: case DW_TAG_volatile_type: case DW_TAG_restrict_type:
            t = attrs.has_type ? resolve_ref(unit, attrs.type_ref, depth + 1) : nullptr;
            if (!t) t = type_new(unit, TYPE_OTHER, attrs.name ? attrs.name : "?");
            break;
        default:
            t = type_new(unit, TYPE_OTHER, attrs.name ? attrs.name : "?");
            if (t && attrs.has_byte_size) t->byte_size = static_cast<uint32_t>(attrs.byte_size);
            break;
    }
    if (t) unit->type_cache[index] = t;
    return t;
}

// [SECTION] Variables ---------------------------------------------------------------------------

namespace {

// What a variable entry says about itself.
struct VariableAttrs {
    const char* name;
    uint64_t address;
    uint64_t type_ref;
    uint64_t origin;
    bool has_location, has_type, has_origin, artificial, declaration;
};

void variable_location(const DwarfUnit* unit, const DwarfAttr& a, VariableAttrs* v) {
    switch (a.cls) {
        case ATTR_EXPRLOC: case ATTR_BLOCK:
            // "DW_OP_addr X; DW_OP_stack_value" says the variable's value is X (an optimised
            // local pointing at a constant), not that the variable lives at X.
            if (a.value > 1u + unit->address_size && a.data[1u + unit->address_size] == DW_OP_stack_value &&
                a.data[0] == DW_OP_addr)
                break;
            v->address = dwarf_eval_location(unit, a.data, a.value);
            v->has_location = v->address != 0;
            break;
        case ATTR_ADDRX:
            v->address = dwarf_addr_index(unit, a.value);
            v->has_location = true;
            break;
        case ATTR_ADDRESS:
            v->address = a.value;
            v->has_location = true;
            break;
        default: break;
    }
}

// The declaration a definition points at (DW_AT_specification, DW_AT_abstract_origin) supplies
// the name, and the type when the definition carries none: C compilers put both only on the
// declaration when an extern variable is defined in the same file.
void variable_from_origin(const DwarfUnit* unit, VariableAttrs* v) {
    DwarfUnit* origin_unit = nullptr;
    int32_t origin = -1;
    if (dwarf_find_entry(unit->image, v->origin, &origin_unit, &origin) != 0) return;
    DwarfAttr attrs[DWARF_ATTR_CAPACITY];
    int n = dwarf_entry_attrs(origin_unit, origin, attrs, DWARF_ATTR_CAPACITY);
    for (int i = 0; i < n; i++) {
        if (attrs[i].code == DW_AT_name && !v->name) v->name = dwarf_attr_string(origin_unit, &attrs[i]);
        if (attrs[i].code == DW_AT_type && !v->has_type) {
            v->type_ref = dwarf_attr_constant(&attrs[i]);
            v->has_type = true;
        }
    }
}

}  // namespace

void dwarf_collect_variable(DwarfUnit* unit, int32_t index) {
    VariableAttrs v = {};
    DwarfAttr attrs[DWARF_ATTR_CAPACITY];
    int n = dwarf_entry_attrs(unit, index, attrs, DWARF_ATTR_CAPACITY);
    for (int i = 0; i < n; i++) {
        const DwarfAttr& a = attrs[i];
        switch (a.code) {
            case DW_AT_location: variable_location(unit, a, &v); break;
            case DW_AT_name: v.name = dwarf_attr_string(unit, &a); break;
            case DW_AT_abstract_origin: case DW_AT_specification:
                v.origin = dwarf_attr_constant(&a);
                v.has_origin = true;
                break;
            case DW_AT_artificial: v.artificial = dwarf_attr_constant(&a) != 0; break;
            case DW_AT_declaration: v.declaration = dwarf_attr_constant(&a) != 0; break;
            case DW_AT_type: v.type_ref = dwarf_attr_constant(&a); v.has_type = true; break;
            default: break;
        }
    }
    if (v.declaration || v.artificial || !v.has_location) return;
    if (v.has_origin && (!v.name || !v.has_type)) variable_from_origin(unit, &v);
    if (!v.name || !v.name[0]) return;
    ElfImage* image = unit->image;
    int32_t known = elf_find_global(image, v.name);
    if (known >= 0) {
        GlobalVar& g = image->globals[known];
        if (g.type || !v.has_type) return;
        g.type = resolve_ref(unit, v.type_ref, 0);
        g.from_debug_info = 1;
        return;
    }
    TypeInfo* type = v.has_type ? resolve_ref(unit, v.type_ref, 0) : nullptr;
    elf_global_append(image, v.name, v.address, type && type->byte_size ? type->byte_size : 0, type, 1);
}
