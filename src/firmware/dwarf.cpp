// dwarf.cpp - the DWARF unit walk: unit headers, abbreviation tables, entries, forms, the
// entry index and attribute decoding.
//
// [SECTION] Cursor and LEB128
// [SECTION] Forms
// [SECTION] Abbreviation tables
// [SECTION] Entries of one unit
// [SECTION] Unit walk
// [SECTION] Lookups and attribute values
//
// Every read is bounded by the end of the unit (entries) or of the section (abbreviations);
// nothing is read outside the section it belongs to. Damaged units are dropped, never fatal.
#include <cstdlib>
#include <cstring>

#include "core/platform.h"
#include "firmware/dwarf.h"

// [SECTION] Cursor and LEB128 -------------------------------------------------------------------

namespace {

// A read position with the end it may not pass.
struct Cursor {
    const uint8_t* p;
    const uint8_t* end;
};

size_t left(const Cursor& c) { return static_cast<size_t>(c.end - c.p); }

// Unsigned LEB128; stops at the end and keeps at most 64 bits.
inline uint64_t read_uleb(Cursor& c) {
    // Nearly every number in DWARF (codes, lengths, small constants) fits one byte.
    if (c.p < c.end && *c.p < 0x80) return *c.p++;
    uint64_t v = 0;
    unsigned shift = 0;
    while (c.p < c.end) {
        uint8_t b = *c.p++;
        if (shift < 64) v |= static_cast<uint64_t>(b & 0x7F) << shift;
        shift += 7;
        if (!(b & 0x80)) break;
    }
    return v;
}

// Signed LEB128, sign-extended from the last byte's bit 6.
int64_t read_sleb(Cursor& c) {
    uint64_t v = 0;
    unsigned shift = 0;
    uint8_t b = 0;
    while (c.p < c.end) {
        b = *c.p++;
        if (shift < 64) v |= static_cast<uint64_t>(b & 0x7F) << shift;
        shift += 7;
        if (!(b & 0x80)) break;
    }
    if ((b & 0x40) && shift < 64) v |= ~0ull << shift;
    return static_cast<int64_t>(v);
}

// [SECTION] Forms -------------------------------------------------------------------------------

enum : uint64_t {
    FORM_addr = 0x01, FORM_block2 = 0x03, FORM_block4 = 0x04, FORM_data2 = 0x05, FORM_data4 = 0x06,
    FORM_data8 = 0x07, FORM_string = 0x08, FORM_block = 0x09, FORM_block1 = 0x0A, FORM_data1 = 0x0B,
    FORM_flag = 0x0C, FORM_sdata = 0x0D, FORM_strp = 0x0E, FORM_udata = 0x0F, FORM_ref_addr = 0x10,
    FORM_ref1 = 0x11, FORM_ref2 = 0x12, FORM_ref4 = 0x13, FORM_ref8 = 0x14, FORM_ref_udata = 0x15,
    FORM_indirect = 0x16, FORM_sec_offset = 0x17, FORM_exprloc = 0x18, FORM_flag_present = 0x19,
    FORM_strx = 0x1A, FORM_addrx = 0x1B, FORM_ref_sup4 = 0x1C, FORM_strp_sup = 0x1D,
    FORM_data16 = 0x1E, FORM_line_strp = 0x1F, FORM_ref_sig8 = 0x20, FORM_implicit_const = 0x21,
    FORM_loclistx = 0x22, FORM_rnglistx = 0x23, FORM_ref_sup8 = 0x24, FORM_strx1 = 0x25,
    FORM_strx2 = 0x26, FORM_strx3 = 0x27, FORM_strx4 = 0x28, FORM_addrx1 = 0x29, FORM_addrx2 = 0x2A,
    FORM_addrx3 = 0x2B, FORM_addrx4 = 0x2C,
};

// What a form needs from its unit.
struct FormContext {
    const ElfImage* image;
    uint64_t unit_offset;
    uint16_t version;
    uint8_t address_size;
};

// Bytes of a form of fixed size, or -1 (variable size or unknown).
int form_fixed_size(uint64_t form, const FormContext& ctx) {
    switch (form) {
        case FORM_addr: return ctx.address_size;
        case FORM_data1: case FORM_flag: case FORM_ref1: case FORM_strx1: case FORM_addrx1: return 1;
        case FORM_data2: case FORM_ref2: case FORM_strx2: case FORM_addrx2: return 2;
        case FORM_strx3: case FORM_addrx3: return 3;
        case FORM_data4: case FORM_sec_offset: case FORM_strp: case FORM_ref4: case FORM_strx4:
        case FORM_addrx4: case FORM_ref_sup4: case FORM_strp_sup: case FORM_line_strp: return 4;
        case FORM_data8: case FORM_ref_sig8: case FORM_ref8: return 8;
        case FORM_data16: return 16;
        case FORM_ref_addr: return ctx.version <= 2 ? ctx.address_size : 4;
        case FORM_flag_present: case FORM_implicit_const: return 0;
        default: return -1;
    }
}

// An n-byte number (1, 2, 4 or 8 on the hot path, anything up to 8) in the image's byte order.
inline uint64_t read_number(const ElfImage* image, const uint8_t* p, unsigned n) {
    switch (n) {
        case 1: return p[0];
        case 2: return elf_read_u16(image, p);
        case 4: return elf_read_u32(image, p);
        case 8: return elf_read_u64(image, p);
        default: return n ? elf_read_n(image, p, n) : 0;
    }
}

// Reads n fixed bytes; false when they would pass the end.
inline bool read_fixed(Cursor& c, const FormContext& ctx, unsigned n, uint64_t* v) {
    if (left(c) < n) return false;
    *v = read_number(ctx.image, c.p, n);
    c.p += n;
    return true;
}

// A block of length bytes; kept (class block) only for the attributes that carry location
// expressions, which DWARF 2 and 3 producers encode as blocks.
bool read_block(Cursor& c, uint64_t length, uint64_t attr_code, DwarfAttr* a) {
    if (length > left(c)) return false;
    if (attr_code == DW_AT_location || attr_code == DW_AT_data_member_location) {
        a->cls = ATTR_BLOCK;
        a->value = length;
        a->data = c.p;
    }
    c.p += length;
    return true;
}

// Decodes one value of a form into a (whose code is set); false fails the entry.
bool read_form(Cursor& c, const FormContext& ctx, uint64_t form, int64_t implicit, DwarfAttr* a,
               bool via_indirect) {
    a->cls = ATTR_NONE;
    a->value = 0;
    a->data = nullptr;
    uint64_t v = 0;
    switch (form) {
        case FORM_addr:
            if (!read_fixed(c, ctx, ctx.address_size, &v)) return false;
            a->cls = ATTR_ADDRESS; a->value = v; return true;
        case FORM_block1: case FORM_block2: case FORM_block4: {
            unsigned n = form == FORM_block1 ? 1 : form == FORM_block2 ? 2 : 4;
            if (!read_fixed(c, ctx, n, &v)) return false;
            return read_block(c, v, a->code, a);
        }
        case FORM_block: {
            uint64_t length = read_uleb(c);
            return read_block(c, length, a->code, a);
        }
        case FORM_data1: case FORM_flag: case FORM_data2: case FORM_data4: case FORM_sec_offset:
        case FORM_data8: {
            unsigned n = form == FORM_data1 || form == FORM_flag ? 1 : form == FORM_data2 ? 2 : form == FORM_data8 ? 8 : 4;
            if (!read_fixed(c, ctx, n, &v)) return false;
            a->cls = ATTR_DATA; a->value = v; return true;
        }
        case FORM_ref_sig8:
            if (!read_fixed(c, ctx, 8, &v)) return false;
            a->cls = ATTR_SIG8; a->value = v; return true;
        case FORM_strp:
            if (!read_fixed(c, ctx, 4, &v)) return false;
            a->cls = ATTR_STRP; a->value = v; return true;
        case FORM_string: {
            const void* nul = memchr(c.p, 0, left(c));
            if (!nul) return false;
            a->cls = ATTR_STRING;
            a->data = c.p;
            c.p = static_cast<const uint8_t*>(nul) + 1;
            return true;
        }
        case FORM_sdata: {
            if (!left(c)) return false;
            a->cls = ATTR_SDATA; a->value = static_cast<uint64_t>(read_sleb(c)); return true;
        }
        case FORM_udata:
            if (!left(c)) return false;
            a->cls = ATTR_UDATA; a->value = read_uleb(c); return true;
        case FORM_ref_addr:
            if (!read_fixed(c, ctx, static_cast<unsigned>(form_fixed_size(form, ctx)), &v)) return false;
            a->cls = ATTR_DATA; a->value = v; return true;
        case FORM_ref1: case FORM_ref2: case FORM_ref4: case FORM_ref8:
            if (!read_fixed(c, ctx, 1u << (form - FORM_ref1), &v)) return false;
            a->cls = ATTR_DATA; a->value = v + ctx.unit_offset; return true;
        case FORM_ref_udata:
            if (!left(c)) return false;
            a->cls = ATTR_DATA; a->value = read_uleb(c) + ctx.unit_offset; return true;
        case FORM_indirect: {
            if (via_indirect || !left(c)) return false;
            uint64_t real = read_uleb(c);
            // An implicit constant reached this way has no constant in the abbreviation.
            return read_form(c, ctx, real, 0, a, true);
        }
        case FORM_exprloc: {
            if (!left(c)) return false;
            uint64_t length = read_uleb(c);
            if (length > left(c)) return false;
            a->cls = ATTR_EXPRLOC; a->value = length; a->data = c.p;
            c.p += length;
            return true;
        }
        case FORM_flag_present:
            a->cls = ATTR_DATA; a->value = 1; return true;
        case FORM_strx:
            if (!left(c)) return false;
            a->cls = ATTR_STRX; a->value = read_uleb(c); return true;
        case FORM_strx1: case FORM_strx2: case FORM_strx3: case FORM_strx4:
            if (!read_fixed(c, ctx, static_cast<unsigned>(form - FORM_strx1 + 1), &v)) return false;
            a->cls = ATTR_STRX; a->value = v; return true;
        case FORM_addrx:
            if (!left(c)) return false;
            a->cls = ATTR_ADDRX; a->value = read_uleb(c); return true;
        case FORM_addrx1: case FORM_addrx2: case FORM_addrx3: case FORM_addrx4:
            if (!read_fixed(c, ctx, static_cast<unsigned>(form - FORM_addrx1 + 1), &v)) return false;
            a->cls = ATTR_ADDRX; a->value = v; return true;
        case FORM_ref_sup4: case FORM_strp_sup: case FORM_line_strp:
            return read_fixed(c, ctx, 4, &v);
        case FORM_data16:
            if (left(c) < 16) return false;
            c.p += 16;
            return true;
        case FORM_implicit_const:
            a->cls = ATTR_SDATA; a->value = static_cast<uint64_t>(implicit); return true;
        case FORM_loclistx: case FORM_rnglistx:
            if (!left(c)) return false;
            read_uleb(c);
            return true;
        default:
            return false;  // 0x02, ref_sup8, 0 and everything above addrx4
    }
}

// Steps over one value of a form without decoding it: what read_form accepts, and nothing else.
bool skip_form(Cursor& c, const FormContext& ctx, uint64_t form, bool via_indirect) {
    uint64_t length = 0;
    switch (form) {
        case FORM_block1: case FORM_block2: case FORM_block4: {
            unsigned size = form == FORM_block1 ? 1 : form == FORM_block2 ? 2 : 4;
            if (!read_fixed(c, ctx, size, &length)) return false;
            break;
        }
        case FORM_block:
            length = read_uleb(c);
            break;
        case FORM_exprloc:
            if (!left(c)) return false;
            length = read_uleb(c);
            break;
        case FORM_string: {
            const void* nul = memchr(c.p, 0, left(c));
            if (!nul) return false;
            c.p = static_cast<const uint8_t*>(nul) + 1;
            return true;
        }
        case FORM_sdata: case FORM_udata: case FORM_ref_udata: case FORM_strx: case FORM_addrx: case FORM_loclistx:
        case FORM_rnglistx:
            if (!left(c)) return false;
            while (c.p < c.end && (*c.p++ & 0x80)) {
            }
            return true;
        case FORM_indirect:
            if (via_indirect || !left(c)) return false;
            return skip_form(c, ctx, read_uleb(c), true);
        default: {
            int n = form_fixed_size(form, ctx);
            if (n < 0 || left(c) < static_cast<size_t>(n)) return false;
            c.p += n;
            return true;
        }
    }
    if (length > left(c)) return false;
    c.p += length;
    return true;
}

// [SECTION] Abbreviation tables -----------------------------------------------------------------

template <typename T>
bool grow(T** array, int32_t* capacity, int32_t need, int32_t initial) {
    if (need <= *capacity) return true;
    int64_t next = *capacity ? *capacity : initial;
    while (next < need) next *= 2;
    if (next > 0x7FFFFFFF / static_cast<int64_t>(sizeof(T))) return false;
    T* bigger = static_cast<T*>(realloc(*array, sizeof(T) * static_cast<size_t>(next)));
    if (!bigger) return false;
    *array = bigger;
    *capacity = static_cast<int32_t>(next);
    return true;
}

void table_free(DwarfAbbrevTable* t) {
    free(t->abbrevs);
    free(t->specs);
    free(t->implicit_consts);
    free(t->by_code);
    memset(t, 0, sizeof *t);
}

// Attribute codes and tags the reader knows fit in 16 bits, forms in 8: anything wider is kept
// as 0 (no attribute, no tag, and a form that fails the entry, as the unknown ones do).
uint16_t narrow16(uint64_t v) { return v <= 0xFFFF ? static_cast<uint16_t>(v) : 0; }
uint8_t narrow8(uint64_t v) { return v <= 0xFF ? static_cast<uint8_t>(v) : 0; }

bool table_add_spec(DwarfAbbrevTable* t, uint64_t attr, uint64_t form, int64_t implicit) {
    if (!grow(&t->specs, &t->spec_capacity, t->spec_count + 1, 256)) return false;
    t->specs[t->spec_count++] = {narrow16(attr), narrow8(form), 0xFF};
    if (form != FORM_implicit_const) return true;
    if (!grow(&t->implicit_consts, &t->implicit_capacity, t->implicit_count + 1, 64)) return false;
    t->implicit_consts[t->implicit_count++] = implicit;
    return true;
}

// Direct lookup by code when the codes are dense enough (they usually run 1, 2, 3, ...).
void table_index_codes(DwarfAbbrevTable* t) {
    uint64_t max_code = 0;
    for (int32_t i = 0; i < t->count; i++)
        if (t->abbrevs[i].code > max_code) max_code = t->abbrevs[i].code;
    if (max_code >= static_cast<uint64_t>(t->count) * 4 + 1024) return;
    int32_t size = static_cast<int32_t>(max_code + 1);
    t->by_code = static_cast<int32_t*>(calloc(static_cast<size_t>(size), sizeof(int32_t)));
    if (!t->by_code) return;
    t->by_code_size = size;
    for (int32_t i = t->count; i-- > 0;) t->by_code[t->abbrevs[i].code] = i + 1;  // first one wins
}

// Reads the table at offset; false on allocation failure, an empty table, or numbers no
// producer writes (codes of 2^32 and above, more than 65535 attributes in one abbreviation).
bool table_read(const ElfImage* image, uint64_t offset, DwarfAbbrevTable* t) {
    memset(t, 0, sizeof *t);
    t->offset = offset;
    const ElfSection& s = image->debug_abbrev;
    Cursor c = {s.data + offset, s.data + s.size};
    while (c.p < c.end) {
        uint64_t code = read_uleb(c);
        if (code == 0) break;
        if (code > 0xFFFFFFFFu) return false;
        if (!grow(&t->abbrevs, &t->capacity, t->count + 1, 64)) return false;
        DwarfAbbrev& a = t->abbrevs[t->count];
        a.code = static_cast<uint32_t>(code);
        a.tag = narrow16(read_uleb(c));
        a.has_children = c.p < c.end && *c.p == 1;
        if (c.p < c.end) c.p++;
        a.first_spec = static_cast<uint32_t>(t->spec_count);
        a.first_implicit = static_cast<uint32_t>(t->implicit_count);
        a.attr_count = 0;
        a.has_declaration = 0;
        a.fixed_size = -1;
        while (c.p < c.end) {
            uint64_t attr = read_uleb(c);
            uint64_t form = read_uleb(c);
            if (attr == 0 && form == 0) break;
            int64_t implicit = form == FORM_implicit_const ? read_sleb(c) : 0;
            if (a.attr_count == 0xFFFF || !table_add_spec(t, attr, form, implicit)) return false;
            if (attr == DW_AT_declaration) a.has_declaration = 1;
            a.attr_count++;
        }
        t->count++;
    }
    if (t->count == 0) return false;
    table_index_codes(t);
    return true;
}

int32_t table_find(const DwarfAbbrevTable* t, uint64_t code) {
    if (code < static_cast<uint64_t>(t->by_code_size)) return t->by_code[code] - 1;
    if (t->by_code) return -1;
    for (int32_t i = 0; i < t->count; i++)
        if (t->abbrevs[i].code == code) return i;
    return -1;
}

// Size of all attribute values of each abbreviation when every form has a fixed size, so that
// the walk can step over such entries at once. Depends on the unit's address size and version,
// which the units sharing a table almost always have in common: computed again only on a change.
void table_fix_sizes(DwarfAbbrevTable* t, const FormContext& ctx) {
    int32_t key = ctx.address_size * 256 + (ctx.version & 0xFF) + 0x10000;
    if (t->fixed_for == key) return;
    t->fixed_for = key;
    for (int32_t i = 0; i < t->count; i++) {
        DwarfAbbrev& a = t->abbrevs[i];
        int total = 0;
        for (uint32_t k = 0; k < a.attr_count; k++) {
            DwarfAttrSpec& attr_form = t->specs[a.first_spec + k];
            int n = form_fixed_size(attr_form.form, ctx);
            attr_form.size = n < 0 ? 0xFF : static_cast<uint8_t>(n);
            total = n < 0 || total < 0 ? -1 : total + n;
        }
        a.fixed_size = total;
    }
}

// Decodes the attribute values of one entry of abbreviation a, from c (past the code), into
// out (at most capacity kept, in stored order; null to only step over them). Returns the count
// kept, or -1 when a value does not decode.
int decode_attrs(Cursor& c, const FormContext& ctx, const DwarfAbbrevTable* t, const DwarfAbbrev& a,
                 DwarfAttr* out, int capacity) {
    int count = 0;
    DwarfAttr spare;
    uint32_t implicit = a.first_implicit;
    for (uint32_t k = 0; k < a.attr_count; k++) {
        const DwarfAttrSpec& attr_form = t->specs[a.first_spec + k];
        DwarfAttr* slot = count < capacity ? &out[count] : &spare;
        slot->code = attr_form.attr;
        int64_t value = 0;
        if (attr_form.form == FORM_implicit_const && implicit < static_cast<uint32_t>(t->implicit_count))
            value = t->implicit_consts[implicit++];
        if (!read_form(c, ctx, attr_form.form, value, slot, false)) return -1;
        if (count < capacity) count++;
    }
    return count;
}

// The table at offset, read once and shared by every unit naming it; -1 when unreadable.
int32_t work_table(ElfImage* image, DwarfWork* w, uint64_t offset) {
    for (int32_t i = w->table_count; i-- > 0;)
        if (w->tables[i]->offset == offset) return i;
    if (!grow(&w->tables, &w->table_capacity, w->table_count + 1, 32)) return -1;
    DwarfAbbrevTable* t = static_cast<DwarfAbbrevTable*>(calloc(1, sizeof(DwarfAbbrevTable)));
    if (!t) return -1;
    if (!table_read(image, offset, t)) {
        table_free(t);
        free(t);
        return -1;
    }
    w->tables[w->table_count] = t;
    return w->table_count++;
}

// [SECTION] Entries of one unit -----------------------------------------------------------------

// Open parents while reading a unit's entries (nesting is not limited, so no recursion).
struct ParentStack {
    int32_t* items;
    int32_t count;
    int32_t capacity;
};

// Reads every entry of the unit into the work's entry array. False rejects the unit.
bool unit_read_entries(ElfImage* image, DwarfWork* w, DwarfUnit* u, const DwarfAbbrevTable* t,
                       ParentStack* stack) {
    Cursor c = {dwarf_unit_bytes(u, u->first_entry_offset), dwarf_unit_bytes(u, u->end_offset)};
    FormContext ctx = {image, u->unit_offset, u->version, u->address_size};
    stack->count = 0;
    while (c.p < c.end) {
        if (*c.p == 0) {
            c.p++;
            if (stack->count == 0) break;  // end of the top-level list
            int32_t open = stack->items[--stack->count];
            w->entries[open].descendant_count = w->entry_count - open - 1;
            continue;
        }
        const uint8_t* start = c.p;
        uint64_t code = read_uleb(c);
        if (code == 0) continue;  // a null entry written in more than one byte
        int32_t ai = table_find(t, code);
        if (ai < 0) return false;
        const DwarfAbbrev& a = t->abbrevs[ai];
        if (!grow(&w->entries, &w->entry_capacity, w->entry_count + 1, 4096)) return false;
        int32_t index = w->entry_count++;
        DwarfEntry& e = w->entries[index];
        e.offset = static_cast<uint32_t>(static_cast<uint64_t>(start - u->section) + u->bias);
        e.descendant_count = 0;
        // Variables are remembered now, so that collecting them later reads only their bytes;
        // they and the scopes that name them keep their parents.
        int32_t parent = stack->count ? stack->items[stack->count - 1] - u->first_entry : -1;
        if (a.tag == DW_TAG_variable) {
            if (!grow(&w->variables, &w->variable_capacity, w->variable_count + 1, 1024)) return false;
            w->variables[w->variable_count++] = {index, parent};
        } else if (a.has_children || a.has_declaration) {
            if (!grow(&w->scopes, &w->scope_capacity, w->scope_count + 1, 1024)) return false;
            w->scopes[w->scope_count++] = {index, parent};
        }
        if (a.fixed_size >= 0) {
            if (left(c) < static_cast<size_t>(a.fixed_size)) return false;
            c.p += a.fixed_size;
        } else {
            for (uint32_t k = 0; k < a.attr_count; k++) {
                const DwarfAttrSpec& attr_form = t->specs[a.first_spec + k];
                if (attr_form.size != 0xFF) {
                    if (left(c) < attr_form.size) return false;
                    c.p += attr_form.size;
                } else if (!skip_form(c, ctx, attr_form.form, false)) {
                    return false;
                }
            }
        }
        if (a.has_children) {
            if (!grow(&stack->items, &stack->capacity, stack->count + 1, 64)) return false;
            stack->items[stack->count++] = index;
        }
    }
    // Children cut off by the unit end close there.
    while (stack->count > 0) {
        int32_t open = stack->items[--stack->count];
        w->entries[open].descendant_count = w->entry_count - open - 1;
    }
    u->entry_count = w->entry_count - u->first_entry;
    return true;
}

// [SECTION] Unit walk ---------------------------------------------------------------------------

// What became of one unit.
enum UnitResult { UNIT_ACCEPTED, UNIT_REJECTED, UNIT_STOP };

// Where a unit's entries start and, for type units, its signature and type offset. False for
// a header too short for its layout.
bool unit_header(const ElfImage* image, const uint8_t* h, uint64_t length, bool types_section, DwarfUnit* u) {
    uint64_t header_size;
    u->version = elf_read_u16(image, h + 4);
    bool type_unit = false;
    if (u->version >= 5) {
        if (4 + length < 12) return false;
        u->unit_type = h[6];
        u->address_size = h[7];
        u->abbrev_offset = elf_read_u32(image, h + 8);
        type_unit = u->unit_type == DW_UT_type || u->unit_type == DW_UT_split_type;
        bool has_id = u->unit_type == DW_UT_skeleton || u->unit_type == DW_UT_split_compile;
        header_size = type_unit ? 24 : has_id ? 20 : 12;
        if (4 + length < header_size) return false;
        if (type_unit) {
            u->type_signature = elf_read_u64(image, h + 12);
            u->type_offset = elf_read_u32(image, h + 20);
        }
    } else {
        header_size = types_section ? 23 : 11;
        if (4 + length < header_size) return false;
        u->abbrev_offset = elf_read_u32(image, h + 6);
        u->address_size = h[10];
        if (types_section) {
            type_unit = true;
            u->type_signature = elf_read_u64(image, h + 11);
            u->type_offset = elf_read_u32(image, h + 19);
        }
    }
    // The type offset is relative to the unit and must point inside it, past the header.
    if (type_unit && (u->type_offset < header_size || u->type_offset >= 4 + length)) return false;
    if (type_unit) u->type_offset += u->unit_offset;
    u->first_entry_offset = u->unit_offset + header_size;
    return true;
}

bool work_add_signature(DwarfWork* w, uint64_t signature, uint64_t offset) {
    if (!grow(&w->signatures, &w->signature_capacity, w->signature_count + 1, 64)) return false;
    w->signatures[w->signature_count++] = {signature, offset};
    return true;
}

// Reads the header and entries of the unit at pos (relative to its section, whose first byte
// has the virtual offset bias) and appends it when accepted.
UnitResult unit_read(ElfImage* image, DwarfWork* w, const ElfSection& section, uint64_t bias, bool types_section,
                     uint64_t pos, ParentStack* stack) {
    const uint8_t* h = section.data + pos;
    uint64_t length = elf_read_u32(image, h);
    if (length == 0 || length == 0xFFFFFFFFu || length > section.size - pos - 4) return UNIT_REJECTED;
    if (length < 2) return UNIT_REJECTED;
    DwarfUnit u;
    memset(&u, 0, sizeof u);
    u.image = image;
    u.section = section.data;
    u.bias = bias;
    u.unit_offset = bias + pos;
    u.end_offset = bias + pos + 4 + length;
    if (!unit_header(image, h, length, types_section, &u)) return UNIT_REJECTED;
    if (u.address_size < 1 || u.address_size > 8 || u.abbrev_offset >= image->debug_abbrev.size) return UNIT_REJECTED;
    int32_t ti = work_table(image, w, u.abbrev_offset);
    if (ti < 0) return UNIT_REJECTED;
    DwarfAbbrevTable* t = w->tables[ti];
    FormContext ctx = {image, u.unit_offset, u.version, u.address_size};
    table_fix_sizes(t, ctx);
    u.first_entry = w->entry_count;
    const int32_t first_variable = w->variable_count, first_scope = w->scope_count;
    if (!unit_read_entries(image, w, &u, t, stack)) {
        w->entry_count = u.first_entry;
        w->variable_count = first_variable;
        w->scope_count = first_scope;
        return UNIT_REJECTED;
    }
    u.abbrevs = t;
    // The unit's string-offset and address bases come from its first entry.
    if (u.entry_count > 0) {
        u.entries = w->entries + u.first_entry;
        DwarfAttr attrs[DWARF_ATTR_CAPACITY];
        int n = dwarf_entry_attrs(&u, 0, attrs, DWARF_ATTR_CAPACITY);
        for (int i = 0; i < n; i++) {
            if (attrs[i].cls != ATTR_DATA) continue;
            if (attrs[i].code == DW_AT_str_offsets_base) u.str_offsets_base = attrs[i].value;
            if (attrs[i].code == DW_AT_addr_base || attrs[i].code == DW_AT_GNU_addr_base) u.addr_base = attrs[i].value;
        }
    }
    if (u.version >= 5 && u.str_offsets_base == 0) u.str_offsets_base = 8;
    if (!grow(&w->units, &w->unit_capacity, w->unit_count + 1, 32) ||
        (u.type_offset && !work_add_signature(w, u.type_signature, u.type_offset))) {
        w->entry_count = u.first_entry;
        w->variable_count = first_variable;
        w->scope_count = first_scope;
        return UNIT_STOP;
    }
    w->units[w->unit_count++] = u;
    return UNIT_ACCEPTED;
}

// Hands every listed variable entry of the accepted units to dwarf_collect_variable, in file
// order (the entry array is in file order, hence already the sorted index).
void collect_variables(DwarfWork* w) {
    for (int32_t i = 0; i < w->unit_count; i++) w->units[i].entries = w->entries + w->units[i].first_entry;
    int32_t unit = 0;
    for (int32_t v = 0; v < w->variable_count; v++) {
        int32_t index = w->variables[v].index;
        while (unit < w->unit_count && index >= w->units[unit].first_entry + w->units[unit].entry_count) unit++;
        if (unit == w->unit_count) break;
        dwarf_collect_variable(&w->units[unit], index - w->units[unit].first_entry);
    }
}

// Forms that refer outside their own unit (or may: an indirect form names its form in the data).
// References into supplementary or alternate files are never followed (their units are dropped
// or the value is skipped), so they need not be listed.
bool table_refers_out(const DwarfAbbrevTable* t) {
    for (int32_t i = 0; i < t->spec_count; i++) {
        uint8_t form = t->specs[i].form;
        if (form == FORM_ref_addr || form == FORM_ref_sig8 || form == FORM_indirect) return true;
    }
    return false;
}

// True when every unit of .debug_info can be read and collected on its own: no type units and
// no abbreviation with a form that refers outside its unit. Reads only the unit headers and
// the abbreviation tables (which the walk shares).
bool units_self_contained(ElfImage* image, DwarfWork* w) {
    if (image->debug_types.data) return false;
    const ElfSection& info = image->debug_info;
    uint64_t pos = 0;
    while (info.size - pos >= 4) {
        uint64_t length = elf_read_u32(image, info.data + pos);
        if (length == 0 || length == 0xFFFFFFFFu) break;
        if (length >= 2 && length <= info.size - pos - 4) {
            DwarfUnit u;
            memset(&u, 0, sizeof u);
            u.unit_offset = pos;
            if (unit_header(image, info.data + pos, length, false, &u)) {
                if (u.unit_type == DW_UT_type || u.unit_type == DW_UT_split_type) return false;
                int32_t ti = u.abbrev_offset < image->debug_abbrev.size ? work_table(image, w, u.abbrev_offset) : -1;
                if (ti >= 0 && table_refers_out(w->tables[ti])) return false;
            }
        }
        pos += 4 + length;
        if (pos > info.size) break;
    }
    return true;
}

// Forgets every entry, variable and resolved type of the units read so far (each was collected).
void work_reset_units(DwarfWork* w) {
    w->unit_count = 0;
    w->entry_count = 0;
    w->variable_count = 0;
    w->scope_count = 0;
    if (w->type_count) memset(w->type_keys, 0xFF, sizeof(int32_t) * w->type_slots);
    w->type_count = 0;
}

// Bytes of .debug_info handed back at a time: each release is a system call, and the pages of
// one batch stay resident until it is full.
constexpr uint64_t kReleaseBatch = 1u << 20;

// Hands back the pages of .debug_info below `end` that no later step reads (mapped files only).
void release_consumed(ElfImage* image, DwarfWork* w, uint64_t end, bool force) {
    if (!image->mapping || end <= w->released_to || (!force && end - w->released_to < kReleaseBatch)) return;
    platform_release_mapped_pages(image->mapping, image->debug_info.data + w->released_to, end - w->released_to);
    w->released_to = end;
}

// Walks every unit of one section; false when the walk must stop altogether.
bool walk_section(ElfImage* image, DwarfWork* w, const ElfSection& section, uint64_t bias, bool types_section,
                  ParentStack* stack) {
    uint64_t pos = 0;
    while (section.size - pos >= 4) {
        uint64_t length = elf_read_u32(image, section.data + pos);
        if (unit_read(image, w, section, bias, types_section, pos, stack) == UNIT_STOP) return false;
        if (w->per_unit) {
            collect_variables(w);
            work_reset_units(w);
            if (!types_section && length != 0xFFFFFFFFu && length <= section.size - pos - 4)
                release_consumed(image, w, pos + 4 + length, false);
        }
        if (length == 0 || length == 0xFFFFFFFFu) break;
        pos += 4 + length;
        if (pos > section.size) break;
    }
    return true;
}

int compare_signatures(const void* a, const void* b) {
    uint64_t x = static_cast<const DwarfSignature*>(a)->signature, y = static_cast<const DwarfSignature*>(b)->signature;
    return x < y ? -1 : x > y ? 1 : 0;
}

void work_free(ElfImage* image) {
    DwarfWork* w = image->dwarf;
    if (!w) return;
    for (int32_t i = 0; i < w->table_count; i++) {
        table_free(w->tables[i]);
        free(w->tables[i]);
    }
    free(w->tables);
    free(w->signatures);
    free(w->units);
    free(w->entries);
    free(w->variables);
    free(w->scopes);
    free(w->type_keys);
    free(w->type_values);
    free(w->names);
    free(w);
    image->dwarf = nullptr;
}

}  // namespace

void dwarf_read_all(ElfImage* image) {
    const ElfSection& info = image->debug_info;
    if (!info.data) return;
    DwarfWork* w = static_cast<DwarfWork*>(calloc(1, sizeof(DwarfWork)));
    if (!w) return;
    image->dwarf = w;
    w->per_unit = units_self_contained(image, w);
    ParentStack stack = {nullptr, 0, 0};
    // Type units of .debug_types (DWARF 4) follow those of .debug_info in the virtual offsets.
    if (walk_section(image, w, info, 0, false, &stack) && image->debug_types.data)
        walk_section(image, w, image->debug_types, info.size, true, &stack);
    free(stack.items);
    if (w->signature_count > 1)
        qsort(w->signatures, static_cast<size_t>(w->signature_count), sizeof(DwarfSignature), compare_signatures);
    if (!w->per_unit) collect_variables(w);
    work_free(image);
}

// [SECTION] Lookups and attribute values --------------------------------------------------------

int dwarf_find_entry(const ElfImage* image, uint64_t offset, DwarfUnit** out_unit, int32_t* out_index) {
    const DwarfWork* w = image ? image->dwarf : nullptr;
    if (!w || !w->entries) return -1;
    int32_t low = 0, high = w->entry_count - 1, found = -1;
    while (low <= high) {
        int32_t mid = low + (high - low) / 2;
        uint64_t at = w->entries[mid].offset;
        if (at == offset) { found = mid; break; }
        if (at < offset) low = mid + 1; else high = mid - 1;
    }
    if (found < 0) return -1;
    // The unit whose slice holds the entry.
    int32_t ul = 0, uh = w->unit_count - 1;
    while (ul < uh) {
        int32_t mid = ul + (uh - ul + 1) / 2;
        if (w->units[mid].first_entry <= found) ul = mid; else uh = mid - 1;
    }
    if (w->unit_count == 0) return -1;
    if (out_unit) *out_unit = &w->units[ul];
    if (out_index) *out_index = found - w->units[ul].first_entry;
    return 0;
}

int dwarf_entry_attrs(const DwarfUnit* unit, int32_t index, DwarfAttr* out, int capacity) {
    if (!unit || index < 0 || index >= unit->entry_count) return 0;
    const ElfImage* image = unit->image;
    const DwarfEntry& e = unit->entries[index];
    const DwarfAbbrevTable* t = unit->abbrevs;
    Cursor c = {dwarf_unit_bytes(unit, e.offset), dwarf_unit_bytes(unit, unit->end_offset)};
    int32_t ai = table_find(t, read_uleb(c));
    if (ai < 0) return 0;  // cannot happen: the walk found it
    FormContext ctx = {image, unit->unit_offset, unit->version, unit->address_size};
    int count = decode_attrs(c, ctx, t, t->abbrevs[ai], out, capacity);
    return count < 0 ? 0 : count;  // cannot fail: the walk read the same bytes
}

uint64_t dwarf_entry_tag(const DwarfUnit* unit, int32_t index) {
    if (!unit || index < 0 || index >= unit->entry_count) return 0;
    Cursor c = {dwarf_unit_bytes(unit, unit->entries[index].offset), dwarf_unit_bytes(unit, unit->end_offset)};
    int32_t ai = table_find(unit->abbrevs, read_uleb(c));
    return ai < 0 ? 0 : unit->abbrevs->abbrevs[ai].tag;
}

namespace {

// The parent noted for an image-wide entry index in an ascending note list, or -2 when absent.
int32_t noted_parent(const DwarfParentNote* notes, int32_t count, int32_t key) {
    for (int32_t low = 0, high = count - 1; low <= high;) {
        int32_t mid = low + (high - low) / 2;
        if (notes[mid].index == key) return notes[mid].parent;
        if (notes[mid].index < key) low = mid + 1; else high = mid - 1;
    }
    return -2;
}

}  // namespace

int32_t dwarf_entry_parent(const DwarfUnit* unit, int32_t index) {
    if (!unit || index < 0 || index >= unit->entry_count) return -1;
    // Variables and scopes had their parents noted during the walk.
    const DwarfWork* w = unit->image->dwarf;
    int32_t key = unit->first_entry + index;
    if (w) {
        int32_t parent = noted_parent(w->variables, w->variable_count, key);
        if (parent == -2) parent = noted_parent(w->scopes, w->scope_count, key);
        if (parent != -2) return parent;
    }
    // Descend from the top level: step over siblings that end before the entry, enter the one
    // that holds it.
    int32_t parent = -1;
    int32_t c = 0;
    while (c < unit->entry_count) {
        if (c == index) return parent;
        int32_t last = c + unit->entries[c].descendant_count;
        if (index <= last) {
            parent = c;
            c++;
        } else {
            c = last + 1;
        }
    }
    return -1;
}

namespace {

uint32_t slot_of(int32_t key, uint32_t mask) { return (static_cast<uint32_t>(key) * 2654435761u) & mask; }

bool type_cache_grow(DwarfWork* w) {
    uint32_t slots = w->type_slots ? w->type_slots * 2 : 1024;
    int32_t* keys = static_cast<int32_t*>(malloc(sizeof(int32_t) * slots));
    TypeInfo** values = static_cast<TypeInfo**>(malloc(sizeof(TypeInfo*) * slots));
    if (!keys || !values) {
        free(keys);
        free(values);
        return false;
    }
    memset(keys, 0xFF, sizeof(int32_t) * slots);
    for (uint32_t i = 0; i < w->type_slots; i++) {
        if (w->type_keys[i] < 0) continue;
        uint32_t at = slot_of(w->type_keys[i], slots - 1);
        while (keys[at] >= 0) at = (at + 1) & (slots - 1);
        keys[at] = w->type_keys[i];
        values[at] = w->type_values[i];
    }
    free(w->type_keys);
    free(w->type_values);
    w->type_keys = keys;
    w->type_values = values;
    w->type_slots = slots;
    return true;
}

}  // namespace

TypeInfo* dwarf_type_cached(const DwarfUnit* unit, int32_t index) {
    const DwarfWork* w = unit->image->dwarf;
    if (!w || !w->type_slots) return nullptr;
    int32_t key = unit->first_entry + index;
    for (uint32_t at = slot_of(key, w->type_slots - 1);; at = (at + 1) & (w->type_slots - 1)) {
        if (w->type_keys[at] == key) return w->type_values[at];
        if (w->type_keys[at] < 0) return nullptr;
    }
}

void dwarf_type_cache_put(DwarfUnit* unit, int32_t index, TypeInfo* type) {
    DwarfWork* w = unit->image->dwarf;
    if (!w) return;
    if ((w->type_count + 1) * 4 > w->type_slots * 3 && !type_cache_grow(w)) return;  // at most 3/4 full
    int32_t key = unit->first_entry + index;
    uint32_t at = slot_of(key, w->type_slots - 1);
    while (w->type_keys[at] >= 0 && w->type_keys[at] != key) at = (at + 1) & (w->type_slots - 1);
    if (w->type_keys[at] < 0) w->type_count++;
    w->type_keys[at] = key;
    w->type_values[at] = type;
}

const char* dwarf_attr_string(const DwarfUnit* unit, const DwarfAttr* attr) {
    if (!unit || !attr) return nullptr;
    const ElfImage* image = unit->image;
    const ElfSection& str = image->debug_str;
    uint64_t at;
    switch (attr->cls) {
        case ATTR_STRING:
            return reinterpret_cast<const char*>(attr->data);
        case ATTR_STRP:
            at = attr->value;
            break;
        case ATTR_STRX: {
            const ElfSection& offsets = image->debug_str_offsets;
            if (unit->version < 5 || !offsets.data || unit->str_offsets_base >= offsets.size) return nullptr;
            uint64_t room = offsets.size - unit->str_offsets_base;
            if (attr->value > room / 4 || room - attr->value * 4 < 4) return nullptr;
            at = elf_read_u32(image, offsets.data + unit->str_offsets_base + attr->value * 4);
            break;
        }
        default:
            return nullptr;
    }
    if (!str.data || at >= str.size) return nullptr;
    // The text must end inside .debug_str; a last string without its NUL is not read past.
    if (!memchr(str.data + at, 0, str.size - at)) return nullptr;
    return reinterpret_cast<const char*>(str.data + at);
}

uint64_t dwarf_attr_constant(const DwarfAttr* attr) {
    if (!attr) return 0;
    switch (attr->cls) {
        case ATTR_DATA: case ATTR_UDATA: case ATTR_SDATA: case ATTR_ADDRX: return attr->value;
        default: return 0;
    }
}

uint64_t dwarf_addr_index(const DwarfUnit* unit, uint64_t index) {
    if (!unit) return 0;
    const ElfSection& addr = unit->image->debug_addr;
    uint64_t size = unit->address_size;
    if (!addr.data || unit->addr_base >= addr.size) return 0;
    uint64_t room = addr.size - unit->addr_base;
    if (index > room / size || room - index * size < size) return 0;
    return elf_read_n(unit->image, addr.data + unit->addr_base + index * size, static_cast<unsigned>(size));
}

const uint8_t* dwarf_unit_bytes(const DwarfUnit* unit, uint64_t offset) {
    return unit->section + (offset - unit->bias);
}

bool dwarf_attr_ref(const DwarfUnit* unit, const DwarfAttr* attr, uint64_t* out_offset) {
    if (!unit || !attr) return false;
    if (attr->cls == ATTR_DATA || attr->cls == ATTR_UDATA) {
        *out_offset = attr->value;
        return true;
    }
    const DwarfWork* w = unit->image->dwarf;
    if (attr->cls != ATTR_SIG8 || !w) return false;
    int32_t low = 0, high = w->signature_count - 1;
    while (low <= high) {
        int32_t mid = low + (high - low) / 2;
        uint64_t at = w->signatures[mid].signature;
        if (at == attr->value) {
            *out_offset = w->signatures[mid].offset;
            return true;
        }
        if (at < attr->value) low = mid + 1; else high = mid - 1;
    }
    return false;
}

bool dwarf_eval_expression(const DwarfUnit* unit, const uint8_t* expr, uint64_t length, const uint64_t* base,
                           uint64_t* out) {
    if (!unit || !expr || length == 0) return false;
    enum { DEPTH = 16 };
    uint64_t stack[DEPTH];
    int top = 0;
    if (base) stack[top++] = *base;
    Cursor c = {expr, expr + length};
    const unsigned address_size = unit->address_size;
    while (c.p < c.end) {
        uint8_t op = *c.p++;
        uint64_t v = 0;
        bool push = true;
        if (op >= DW_OP_lit0 && op <= DW_OP_lit31) {
            v = op - DW_OP_lit0;
        } else {
            switch (op) {
                case DW_OP_addr:
                    if (left(c) < address_size) return false;
                    v = elf_read_n(unit->image, c.p, address_size);
                    c.p += address_size;
                    break;
                case DW_OP_addrx: case DW_OP_GNU_addr_index: case DW_OP_constx: case DW_OP_GNU_const_index:
                    if (!left(c)) return false;
                    v = dwarf_addr_index(unit, read_uleb(c));
                    break;
                case DW_OP_const1u: case DW_OP_const1s: case DW_OP_const2u: case DW_OP_const2s:
                case DW_OP_const4u: case DW_OP_const4s: case DW_OP_const8u: case DW_OP_const8s: {
                    unsigned n = 1u << ((op - DW_OP_const1u) / 2);
                    if (left(c) < n) return false;
                    v = elf_read_n(unit->image, c.p, n);
                    c.p += n;
                    bool is_signed = (op - DW_OP_const1u) % 2 == 1;
                    if (is_signed && n < 8 && (v >> (n * 8 - 1)) & 1) v |= ~0ull << (n * 8);
                    break;
                }
                case DW_OP_constu:
                    if (!left(c)) return false;
                    v = read_uleb(c);
                    break;
                case DW_OP_consts:
                    if (!left(c)) return false;
                    v = static_cast<uint64_t>(read_sleb(c));
                    break;
                case DW_OP_plus_uconst:
                    if (top < 1 || !left(c)) return false;
                    stack[top - 1] += read_uleb(c);
                    push = false;
                    break;
                case DW_OP_plus: case DW_OP_minus:
                    if (top < 2) return false;
                    top--;
                    stack[top - 1] = op == DW_OP_plus ? stack[top - 1] + stack[top] : stack[top - 1] - stack[top];
                    push = false;
                    break;
                default:
                    // Registers, memory reads, pieces, stack values: not a fixed address.
                    return false;
            }
        }
        if (push) {
            if (top == DEPTH) return false;
            stack[top++] = v;
        }
    }
    if (top < 1) return false;
    uint64_t result = stack[top - 1];
    if (address_size < 8) result &= (1ull << (address_size * 8)) - 1;
    *out = result;
    return true;
}

namespace {

uint32_t name_hash(const char* text) {
    uint32_t h = 2166136261u;  // FNV-1a
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; p++) h = (h ^ *p) * 16777619u;
    return h;
}

bool names_grow(DwarfWork* w) {
    uint32_t slots = w->name_slots ? w->name_slots * 2 : 4096;
    const char** names = static_cast<const char**>(calloc(slots, sizeof(const char*)));
    if (!names) return false;
    for (uint32_t i = 0; i < w->name_slots; i++) {
        if (!w->names[i]) continue;
        uint32_t at = name_hash(w->names[i]) & (slots - 1);
        while (names[at]) at = (at + 1) & (slots - 1);
        names[at] = w->names[i];
    }
    free(w->names);
    w->names = names;
    w->name_slots = slots;
    return true;
}

}  // namespace

const char* dwarf_keep_name(ElfImage* image, const char* name) {
    if (!name) return nullptr;
    DwarfWork* w = image->dwarf;
    if (!w || ((w->name_count + 1) * 2 > w->name_slots && !names_grow(w))) return elf_arena_strdup(image, name);
    uint32_t at = name_hash(name) & (w->name_slots - 1);
    for (; w->names[at]; at = (at + 1) & (w->name_slots - 1))
        if (strcmp(w->names[at], name) == 0) return w->names[at];
    char* copy = elf_arena_strdup(image, name);
    if (!copy) return nullptr;
    w->names[at] = copy;
    w->name_count++;
    return copy;
}
