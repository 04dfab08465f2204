// dwarf_types.cpp - type resolution from the decoded DWARF entries.
//
// [SECTION] Helpers
// [SECTION] Structures, members and bit fields
// [SECTION] Enumerations and arrays
// [SECTION] Type resolution
//
// Type records and every name they hold live in the image's arena: the file itself is released
// when the open ends.
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
    uint64_t signature_ref;    // DW_AT_signature: the full type lives in a type unit
    bool has_byte_size;
    bool has_encoding;
    bool has_type;
    bool has_signature;
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
            case DW_AT_type: t.has_type = dwarf_attr_ref(unit, &a, &t.type_ref); break;
            case DW_AT_signature: t.has_signature = dwarf_attr_ref(unit, &a, &t.signature_ref); break;
            default: break;
        }
    }
    return t;
}

TypeInfo* type_new(DwarfUnit* unit, TypeKind kind, const char* name) {
    TypeInfo* t = static_cast<TypeInfo*>(elf_arena_alloc(unit->image, sizeof(TypeInfo)));
    if (!t) return nullptr;
    t->kind = kind;
    // Kept in the arena: the file bytes the name was read from do not outlive the open.
    t->name = dwarf_keep_name(unit->image, name);
    return t;
}

// Resolves the type entry at a .debug_info offset (any accepted unit); null when not found.
TypeInfo* resolve_ref(DwarfUnit* unit, uint64_t offset, int depth) {
    DwarfUnit* target_unit = nullptr;
    int32_t target = -1;
    if (dwarf_find_entry(unit->image, offset, &target_unit, &target) != 0) return nullptr;
    return dwarf_resolve_type(target_unit, target, depth);
}

// Tag of the entry at an offset (any accepted unit), or 0.
uint64_t ref_tag(const DwarfUnit* unit, uint64_t offset) {
    DwarfUnit* target_unit = nullptr;
    int32_t target = -1;
    if (dwarf_find_entry(unit->image, offset, &target_unit, &target) != 0) return 0;
    return dwarf_entry_tag(target_unit, target);
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
// block from DWARF 2 and 3 producers) evaluated with the structure's address 0 on the stack.
// False when the offset is not a fixed number (a virtual base is found through the object).
bool member_location(const DwarfUnit* unit, const DwarfAttr& a, uint64_t* out) {
    *out = 0;
    switch (a.cls) {
        case ATTR_DATA: case ATTR_UDATA: case ATTR_SDATA: case ATTR_ADDRX: *out = a.value; return true;
        case ATTR_EXPRLOC: case ATTR_BLOCK: {
            const uint64_t base = 0;
            return dwarf_eval_expression(unit, a.data, a.value, &base, out);
        }
        default: return true;
    }
}

// [SECTION] Structures, members and bit fields ------------------------------------------------

// The attributes of one member (or inheritance) entry.
struct MemberAttrs {
    const char* name;
    uint64_t type_ref;
    uint64_t location;
    uint64_t bit_offset;       // DW_AT_bit_offset: from the most significant bit of the unit
    uint64_t data_bit_offset;  // DW_AT_data_bit_offset: from the start of the structure
    uint64_t bit_size;
    uint64_t byte_size;        // the member's own storage unit size (DWARF 2 to 4 bit fields)
    bool location_ok;          // false when the offset is not a fixed number
    bool has_type, has_bit_offset, has_data_bit_offset, has_bit_size, has_byte_size, artificial, declaration;
};

MemberAttrs gather_member_attrs(const DwarfUnit* unit, int32_t index) {
    MemberAttrs m = {};
    m.location_ok = true;
    DwarfAttr attrs[DWARF_ATTR_CAPACITY];
    int n = dwarf_entry_attrs(unit, index, attrs, DWARF_ATTR_CAPACITY);
    for (int i = 0; i < n; i++) {
        const DwarfAttr& a = attrs[i];
        switch (a.code) {
            case DW_AT_name: m.name = dwarf_attr_string(unit, &a); break;
            case DW_AT_type: m.has_type = dwarf_attr_ref(unit, &a, &m.type_ref); break;
            case DW_AT_declaration: m.declaration = dwarf_attr_constant(&a) != 0; break;
            case DW_AT_bit_offset: m.bit_offset = dwarf_attr_constant(&a); m.has_bit_offset = true; break;
            case DW_AT_data_bit_offset:
                m.data_bit_offset = dwarf_attr_constant(&a);
                m.has_data_bit_offset = true;
                break;
            case DW_AT_bit_size: m.bit_size = dwarf_attr_constant(&a); m.has_bit_size = true; break;
            case DW_AT_byte_size: m.byte_size = dwarf_attr_constant(&a); m.has_byte_size = true; break;
            case DW_AT_artificial: m.artificial = dwarf_attr_constant(&a) != 0; break;
            case DW_AT_data_member_location: m.location_ok = member_location(unit, a, &m.location); break;
            default: break;
        }
    }
    return m;
}

// The smallest 1/2/4/8-byte unit that holds `bits` bits; 0 when none does.
uint64_t covering_unit(uint64_t bits) {
    for (uint64_t unit = 1; unit <= 8; unit *= 2)
        if (bits <= unit * 8) return unit;
    return 0;
}

// Places a bit field so that its value is the storage unit (byte_size bytes at member_offset)
// shifted right by bit_offset. `position` is the field's first bit counted from the start of
// the structure in the target's own numbering: from the least significant bit of the first byte
// on little-endian targets, from the most significant bit on big-endian ones. The unit of the
// member's type is used when it holds the field (what the compiler itself reads); a packed field
// that overruns it (or whose unit would pass the end of a packed structure) is read through the
// smallest unit from its first byte that holds it. Reads are byte blocks, so the unit need not
// be aligned.
void place_bitfield(TypeInfo* m, uint64_t position, uint64_t bit_size, uint64_t type_bytes, uint64_t struct_bytes,
                    bool little) {
    uint64_t unit = type_bytes == 1 || type_bytes == 2 || type_bytes == 4 || type_bytes == 8 ? type_bytes : 0;
    uint64_t start = unit ? (position / 8) / unit * unit : 0;
    uint64_t rel = position - start * 8;
    // The type's unit must hold the field and, in a packed structure, stay inside it.
    if (!unit || rel + bit_size > unit * 8 || (struct_bytes && start + unit > struct_bytes)) {
        start = position / 8;
        rel = position % 8;
        unit = covering_unit(rel + bit_size);
        if (!unit) {
            // No unit of at most 8 bytes holds it: keep the span, which marks it unusable.
            m->member_offset = start;
            m->byte_size = static_cast<uint32_t>((rel + bit_size + 7) / 8);
            m->bit_offset = static_cast<uint8_t>(rel);
            return;
        }
    }
    m->member_offset = start;
    m->byte_size = static_cast<uint32_t>(unit);
    m->bit_offset = static_cast<uint8_t>(little ? rel : unit * 8 - rel - bit_size);
}

// Bit position of a bit field from the start of the structure (see place_bitfield); -1 when the
// producer's numbers do not make one.
int64_t bitfield_position(const MemberAttrs& m, uint64_t type_bytes, bool little) {
    if (m.has_data_bit_offset) return static_cast<int64_t>(m.location * 8 + m.data_bit_offset);
    if (!m.has_bit_offset) return static_cast<int64_t>(m.location * 8);
    // Counted from the most significant bit of a storage unit of unit_bytes at the location.
    uint64_t unit_bytes = m.has_byte_size ? m.byte_size : type_bytes;
    if (!little) return static_cast<int64_t>(m.location * 8 + m.bit_offset);
    if (m.bit_offset + m.bit_size > unit_bytes * 8) return -1;
    return static_cast<int64_t>(m.location * 8 + unit_bytes * 8 - m.bit_offset - m.bit_size);
}

// Builds one member record, or null when it is left out. Static data members (declarations)
// are not members: their definitions are globals of their own.
TypeInfo* member_make(DwarfUnit* unit, int32_t index, uint64_t struct_bytes, int depth) {
    MemberAttrs m = gather_member_attrs(unit, index);
    if (m.declaration || !m.location_ok) return nullptr;
    // clang's vtable pointer (_vptr$Shape) is artificial and hidden from debuggers: no name
    // reaches it. GCC's (_vptr.Shape) is visible and stays.
    if (m.artificial && (!m.name || strchr(m.name, '$'))) return nullptr;
    TypeInfo* type = m.has_type ? resolve_ref(unit, m.type_ref, depth + 1) : nullptr;
    if (!type && m.has_type && !m.name) return nullptr;
    // An unnamed scalar (a padding bit field) is nothing anyone can name.
    if (type && !m.name && type->kind != TYPE_STRUCT && type->kind != TYPE_UNION) return nullptr;
    TypeInfo* rec = type_new(unit, TYPE_OTHER, type ? m.name : (m.name ? m.name : "?"));
    if (!rec) return nullptr;
    rec->member_offset = m.location;
    if (!type) return rec;
    const char* name = rec->name;
    *rec = *type;
    rec->name = name;
    rec->member_offset = m.location;
    rec->enum_value = 0;
    if (!m.has_bit_size || m.bit_size == 0) return rec;
    rec->is_bitfield = 1;
    rec->bit_size = static_cast<uint8_t>(m.bit_size > 255 ? 255 : m.bit_size);
    bool little = unit->image->little_endian != 0;
    int64_t position = bitfield_position(m, type->byte_size, little);
    if (position < 0) {
        rec->byte_size = 0;  // unusable: the leaf table warns and makes no leaf
        return rec;
    }
    place_bitfield(rec, static_cast<uint64_t>(position), m.bit_size, type->byte_size, struct_bytes, little);
    return rec;
}

// The base class of an inheritance entry and its offset; false when the offset is not fixed
// (virtual inheritance) or the base has no members.
bool base_of(DwarfUnit* unit, int32_t index, int depth, TypeInfo** out_base, uint64_t* out_offset) {
    MemberAttrs m = gather_member_attrs(unit, index);
    if (!m.location_ok || !m.has_type) return false;
    TypeInfo* base = resolve_ref(unit, m.type_ref, depth + 1);
    if (!base || (base->kind != TYPE_STRUCT && base->kind != TYPE_UNION) || !base->children) return false;
    *out_base = base;
    *out_offset = m.location;
    return true;
}

bool has_member_named(const TypeInfo* t, const char* name) {
    if (!name) return false;
    for (int32_t i = 0; i < t->child_count; i++)
        if (t->children[i]->name && strcmp(t->children[i]->name, name) == 0) return true;
    return false;
}

// True when a direct member of the structure entry has this name (it hides a base's member).
bool entry_has_member(const DwarfUnit* unit, int32_t index, const char* name) {
    if (!name) return false;
    for (int32_t c = first_child(unit, index); c >= 0; c = next_child(unit, index, c)) {
        if (dwarf_entry_tag(unit, c) != DW_TAG_member) continue;
        DwarfAttr attrs[DWARF_ATTR_CAPACITY];
        int n = dwarf_entry_attrs(unit, c, attrs, DWARF_ATTR_CAPACITY);
        for (int i = 0; i < n; i++) {
            if (attrs[i].code != DW_AT_name) continue;
            const char* text = dwarf_attr_string(unit, &attrs[i]);
            if (text && strcmp(text, name) == 0) return true;
        }
    }
    return false;
}

// Copies of a base's members at the base's offset: a derived object's inherited members are
// named as its own (d.base_a). Names the derived type gives itself, or an earlier base gave,
// are skipped.
void add_base_members(DwarfUnit* unit, int32_t index, TypeInfo* t, int32_t room, const TypeInfo* base,
                      uint64_t offset) {
    for (int32_t i = 0; i < base->child_count && t->child_count < room; i++) {
        const TypeInfo* bm = base->children[i];
        if (!bm || has_member_named(t, bm->name) || entry_has_member(unit, index, bm->name)) continue;
        TypeInfo* copy = static_cast<TypeInfo*>(elf_arena_alloc(unit->image, sizeof(TypeInfo)));
        if (!copy) return;
        *copy = *bm;
        copy->member_offset = bm->member_offset + offset;
        t->children[t->child_count++] = copy;
    }
}

TypeInfo* struct_make(DwarfUnit* unit, int32_t index, const TypeAttrs& attrs, uint64_t tag, int depth) {
    const char* word = tag == DW_TAG_union_type ? "union" : "struct";
    char name[128];
    if (attrs.name) text_printf(name, sizeof name, "%s %s", word, attrs.name);
    else text_copy(name, sizeof name, word);
    TypeInfo* t = type_new(unit, tag == DW_TAG_union_type ? TYPE_UNION : TYPE_STRUCT, name);
    if (!t) return nullptr;
    t->byte_size = attrs.has_byte_size ? static_cast<uint32_t>(attrs.byte_size) : 0;
    int32_t room = count_children(unit, index, DW_TAG_member);
    for (int32_t c = first_child(unit, index); c >= 0; c = next_child(unit, index, c)) {
        TypeInfo* base = nullptr;
        uint64_t offset = 0;
        if (dwarf_entry_tag(unit, c) == DW_TAG_inheritance && base_of(unit, c, depth, &base, &offset))
            room += base->child_count;
    }
    if (room == 0) return t;
    t->children = children_new(unit, room);
    if (!t->children) return t;
    // Base classes come first in the declaration and in memory; their members follow in place.
    for (int32_t c = first_child(unit, index); c >= 0; c = next_child(unit, index, c)) {
        uint64_t child_tag = dwarf_entry_tag(unit, c);
        if (child_tag == DW_TAG_inheritance) {
            TypeInfo* base = nullptr;
            uint64_t offset = 0;
            if (base_of(unit, c, depth, &base, &offset)) add_base_members(unit, index, t, room, base, offset);
            continue;
        }
        if (child_tag != DW_TAG_member) continue;
        TypeInfo* m = member_make(unit, c, t->byte_size, depth);
        if (m && t->child_count < room) t->children[t->child_count++] = m;
    }
    return t;
}

// [SECTION] Enumerations and arrays -------------------------------------------------------------

// An enumeration's signedness comes from its underlying type (DW_AT_type) or its encoding; only
// without either is it taken from an enumerator written as a negative signed constant.
TypeInfo* enum_make(DwarfUnit* unit, int32_t index, const TypeAttrs& attrs, int depth) {
    TypeInfo* t = type_new(unit, TYPE_ENUM, attrs.name ? attrs.name : "enum");
    if (!t) return nullptr;
    TypeInfo* underlying = attrs.has_type ? resolve_ref(unit, attrs.type_ref, depth + 1) : nullptr;
    bool signedness_known = true;
    if (underlying) t->is_signed = underlying->is_signed;
    else if (attrs.has_encoding) t->is_signed = attrs.encoding == 0x05 || attrs.encoding == 0x06 || attrs.encoding == 0x0D;
    else signedness_known = false;
    uint32_t default_size = underlying && underlying->byte_size ? underlying->byte_size : 4;
    t->byte_size = attrs.has_byte_size ? static_cast<uint32_t>(attrs.byte_size) : default_size;
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
        bool negative = false;
        for (int i = 0; i < n; i++) {
            if (attrs_e[i].code == DW_AT_name) name = dwarf_attr_string(unit, &attrs_e[i]);
            if (attrs_e[i].code == DW_AT_const_value) {
                value = static_cast<int64_t>(dwarf_attr_constant(&attrs_e[i]));
                negative = attrs_e[i].cls == ATTR_SDATA && value < 0;
            }
        }
        if (negative && !signedness_known) t->is_signed = 1;
        TypeInfo* e = type_new(unit, TYPE_ENUM, name ? name : "?");
        if (!e) continue;
        e->enum_value = value;
        t->children[t->child_count++] = e;
    }
    return t;
}

enum : int { ARRAY_MAX_DIMENSIONS = 8 };

// The dimensions of an array entry, one per subrange that gives a count (DW_AT_count, or upper
// bound - lower bound + 1); returns how many. Dimensions past the eighth multiply the last one.
int array_dimensions(const DwarfUnit* unit, int32_t index, uint64_t* dims) {
    int count_dims = 0;
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
        if (count_dims < ARRAY_MAX_DIMENSIONS) dims[count_dims++] = factor;
        else dims[count_dims - 1] *= factor;
    }
    return count_dims;
}

TypeInfo* array_record(DwarfUnit* unit, const char* name, TypeInfo* element, uint64_t count, uint64_t byte_size) {
    TypeInfo* t = type_new(unit, TYPE_ARRAY, name);
    if (!t) return nullptr;
    t->element_count = static_cast<int32_t>(static_cast<uint32_t>(count));
    t->byte_size = static_cast<uint32_t>(byte_size);
    set_single_child(unit, t, element);
    return t;
}

// An array of several dimensions becomes an array of arrays (int m[2][3]: two elements of
// int[3]), so that its elements are named m[i][j] as the language and debuggers name them.
TypeInfo* array_make(DwarfUnit* unit, int32_t index, const TypeAttrs& attrs, int depth) {
    TypeInfo* element = attrs.has_type ? resolve_ref(unit, attrs.type_ref, depth + 1) : nullptr;
    uint64_t dims[ARRAY_MAX_DIMENSIONS];
    int n = array_dimensions(unit, index, dims);
    uint64_t element_size = element ? element->byte_size : 1;
    const char* name = attrs.name ? attrs.name : "";
    if (n == 0) {
        uint64_t count = 0;
        if (attrs.has_byte_size && attrs.byte_size && element && element->byte_size)
            count = attrs.byte_size / element->byte_size;
        return array_record(unit, name, element, count, attrs.has_byte_size ? attrs.byte_size : element_size * count);
    }
    for (int d = n - 1; d >= 1 && element; d--) {  // inner dimensions, innermost first
        TypeInfo* row = array_record(unit, "", element, dims[d], element_size * dims[d]);
        if (!row) return nullptr;
        element = row;
        element_size = row->byte_size;
    }
    return array_record(unit, name, element, dims[0], attrs.has_byte_size ? attrs.byte_size : element_size * dims[0]);
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
    // Character types by their encoding; a typedef of one (int8_t, uint8_t) names a number.
    t->is_char = t->byte_size == 1 && attrs.has_encoding &&
                 (attrs.encoding == 0x06 || attrs.encoding == 0x08 || attrs.encoding == 0x10);
    return t;
}

TypeInfo* pointer_make(DwarfUnit* unit, const TypeAttrs& attrs, uint64_t tag, int depth) {
    TypeInfo* t = type_new(unit, TYPE_POINTER, attrs.name ? attrs.name : "void*");
    if (!t) return nullptr;
    t->is_pointer = 1;
    uint32_t word = unit->image->is64 ? 8 : 4;
    // A pointer to a member function holds a function address and an adjustment: two words.
    if (tag == DW_TAG_ptr_to_member_type && attrs.has_type && ref_tag(unit, attrs.type_ref) == DW_TAG_subroutine_type)
        word *= 2;
    t->byte_size = attrs.has_byte_size ? static_cast<uint32_t>(attrs.byte_size) : word;
    if (attrs.has_type && depth < DWARF_MAX_POINTEE_DEPTH) set_single_child(unit, t, resolve_ref(unit, attrs.type_ref, depth + 1));
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
    if (TypeInfo* cached = dwarf_type_cached(unit, index)) return cached;
    TypeAttrs attrs = gather_type_attrs(unit, index);
    uint64_t tag = dwarf_entry_tag(unit, index);
    TypeInfo* t = nullptr;
    // A declaration that names a type unit stands for the type defined there.
    if (attrs.has_signature) t = resolve_ref(unit, attrs.signature_ref, depth + 1);
    if (!t) {
        switch (tag) {
            case DW_TAG_base_type: t = base_make(unit, attrs); break;
            case DW_TAG_structure_type: case DW_TAG_class_type: case DW_TAG_union_type:
                t = struct_make(unit, index, attrs, tag, depth);
                break;
            case DW_TAG_enumeration_type: t = enum_make(unit, index, attrs, depth); break;
            case DW_TAG_array_type: t = array_make(unit, index, attrs, depth); break;
            case DW_TAG_pointer_type: case DW_TAG_reference_type: case DW_TAG_ptr_to_member_type:
            case DW_TAG_rvalue_reference_type:
                t = pointer_make(unit, attrs, tag, depth);
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
    }
    if (t) dwarf_type_cache_put(unit, index, t);
    return t;
}
