// dwarf.h - the DWARF 2 to 5 debug-information reader (32-bit format, with the DWARF 5
// string-offset and address-index forms) and the type resolution built on it.
//
// The tables here are working state of one elf_open: dwarf_read_all builds them, hands every
// variable entry to dwarf_collect_variable, and frees them before returning. Only what the
// type resolution copies into the image's arena survives. When the units are self-contained
// (what compilers emit without type units or a DWARF compressor), the work is done one unit at
// a time and the pages of finished units are handed back to the system as the walk goes on,
// so a first open of a large image holds neither all its entries nor all its .debug_info.
//
// Memory: an entry keeps only its offset and descendant count; its attributes are decoded
// again from the section bytes when they are asked for (dwarf_entry_attrs). The first pass
// steps over every attribute value once to validate the unit (skip_form accepts exactly what
// read_form does), so a later decode cannot fail.
#pragma once
#include <cstddef>
#include <cstdint>

#include "firmware/elf.h"
#include "firmware/types.h"

// Class of a decoded attribute value.
typedef uint8_t AttrClass;
enum : uint8_t {
    ATTR_NONE = 0,     // form skipped (no value kept)
    ATTR_DATA = 1,     // constant, flag, section offset, or reference made absolute
    ATTR_UDATA = 2,    // unsigned LEB128
    ATTR_SDATA = 3,    // signed LEB128 or implicit constant
    ATTR_STRING = 4,   // data: NUL-terminated text inside the entry
    ATTR_STRP = 5,     // value: offset into .debug_str
    ATTR_STRX = 6,     // value: index into the unit's string-offset table
    ATTR_ADDRX = 7,    // value: index into the unit's address table
    ATTR_EXPRLOC = 8,  // data: expression of value bytes
    ATTR_ADDRESS = 9,  // value: target address
    ATTR_BLOCK = 10,   // data: block of value bytes (kept for locations and member offsets only)
    ATTR_SIG8 = 11,    // value: 8-byte type signature (DW_FORM_ref_sig8), resolved through the type units
};

// DWARF codes the reader looks at.
enum : uint64_t {
    DW_TAG_array_type = 0x01, DW_TAG_class_type = 0x02, DW_TAG_enumeration_type = 0x04,
    DW_TAG_member = 0x0D, DW_TAG_pointer_type = 0x0F, DW_TAG_reference_type = 0x10,
    DW_TAG_structure_type = 0x13, DW_TAG_typedef = 0x16, DW_TAG_union_type = 0x17,
    DW_TAG_ptr_to_member_type = 0x1F, DW_TAG_subrange_type = 0x21, DW_TAG_base_type = 0x24,
    DW_TAG_const_type = 0x26, DW_TAG_enumerator = 0x28, DW_TAG_variable = 0x34,
    DW_TAG_volatile_type = 0x35, DW_TAG_restrict_type = 0x37, DW_TAG_rvalue_reference_type = 0x42,
    DW_TAG_lexical_block = 0x0B, DW_TAG_compile_unit = 0x11, DW_TAG_subroutine_type = 0x15,
    DW_TAG_inheritance = 0x1C, DW_TAG_subprogram = 0x2E, DW_TAG_namespace = 0x39,
    DW_TAG_type_unit = 0x41,

    DW_AT_location = 0x02, DW_AT_name = 0x03, DW_AT_byte_size = 0x0B, DW_AT_bit_offset = 0x0C,
    DW_AT_bit_size = 0x0D, DW_AT_const_value = 0x1C, DW_AT_lower_bound = 0x22,
    DW_AT_upper_bound = 0x2F, DW_AT_abstract_origin = 0x31, DW_AT_artificial = 0x34,
    DW_AT_count = 0x37, DW_AT_data_member_location = 0x38, DW_AT_declaration = 0x3C,
    DW_AT_encoding = 0x3E, DW_AT_specification = 0x47, DW_AT_type = 0x49,
    DW_AT_data_bit_offset = 0x6B, DW_AT_str_offsets_base = 0x72, DW_AT_addr_base = 0x73,
    DW_AT_signature = 0x69, DW_AT_linkage_name = 0x6E, DW_AT_MIPS_linkage_name = 0x2007,
    DW_AT_GNU_addr_base = 0x2133,

    DW_OP_addr = 0x03, DW_OP_const1u = 0x08, DW_OP_const1s = 0x09, DW_OP_const2u = 0x0A,
    DW_OP_const2s = 0x0B, DW_OP_const4u = 0x0C, DW_OP_const4s = 0x0D, DW_OP_const8u = 0x0E,
    DW_OP_const8s = 0x0F, DW_OP_constu = 0x10, DW_OP_consts = 0x11, DW_OP_minus = 0x1C,
    DW_OP_plus = 0x22, DW_OP_plus_uconst = 0x23, DW_OP_lit0 = 0x30, DW_OP_lit31 = 0x4F,
    DW_OP_stack_value = 0x9F, DW_OP_addrx = 0xA1, DW_OP_constx = 0xA2, DW_OP_GNU_addr_index = 0xFB,
    DW_OP_GNU_const_index = 0xFC,

    DW_UT_compile = 1, DW_UT_type = 2, DW_UT_partial = 3, DW_UT_skeleton = 4, DW_UT_split_compile = 5,
    DW_UT_split_type = 6,
};

// One decoded attribute.
struct DwarfAttr {
    uint64_t code;             // DW_AT_*
    AttrClass cls;
    uint64_t value;
    const uint8_t* data;       // into the file bytes, or null
};

// One attribute entry of an abbreviation (attribute code and form). Attribute codes above 0xFFFF and forms above
// 0xFF mean nothing to the reader and are kept as 0 (a form of 0 fails the entry, as any
// unknown form does). An implicit constant's value sits in the table's implicit_consts, in the
// order the abbreviation lists them.
struct DwarfAttrSpec {
    uint16_t attr;
    uint8_t form;
    uint8_t size;              // bytes of a fixed-size form for the table's current unit, else 0xFF
};
static_assert(sizeof(DwarfAttrSpec) == 4, "DwarfAttrSpec is kept per attribute of every abbreviation");

// One abbreviation: tag, children flag and its attribute entries (a slice of the table's
// attribute array). Tags above 0xFFFF are kept as 0 (no tag the reader knows).
struct DwarfAbbrev {
    uint32_t code;
    uint32_t first_spec;       // index into the table's specs
    uint32_t first_implicit;   // index into the table's implicit_consts
    int32_t fixed_size;        // bytes of all attributes when every form has a fixed size, else -1
    uint16_t tag;
    uint16_t attr_count;
    uint8_t has_children;
    uint8_t has_declaration;   // lists DW_AT_declaration
};
static_assert(sizeof(DwarfAbbrev) == 24, "DwarfAbbrev layout");

// One abbreviation table of .debug_abbrev (shared by the units that name the same offset).
// Codes above 2^32 - 1 and abbreviations of more than 65535 attributes make a table unreadable.
struct DwarfAbbrevTable {
    uint64_t offset;
    DwarfAbbrev* abbrevs;
    int32_t count;
    int32_t capacity;
    DwarfAttrSpec* specs;
    int32_t spec_count;
    int32_t spec_capacity;
    int64_t* implicit_consts;  // DW_FORM_implicit_const values, in attribute order
    int32_t implicit_count;
    int32_t implicit_capacity;
    int32_t* by_code;          // abbreviation index + 1 for codes below by_code_size, 0 = absent
    int32_t by_code_size;
    int32_t fixed_for;         // address size * 256 + version the fixed sizes were computed for, 0 = none
};

// One debugging information entry. Its descendants are the next descendant_count entries. The
// abbreviation (tag, attributes) is looked up again from the code at the offset, and the parent
// is found by descending from the unit's root: a large image has a million entries, so each one
// keeps only what cannot be found again cheaply.
struct DwarfEntry {
    uint32_t offset;           // virtual offset (files stay below 2 GiB)
    int32_t descendant_count;
};
static_assert(sizeof(DwarfEntry) == 8, "DwarfEntry is kept per entry: keep it small");

// One accepted compilation or type unit. Offsets are "virtual": .debug_info offsets as they
// are, .debug_types offsets moved past the end of .debug_info (by `bias`), so that one sorted
// index covers the units of both sections.
struct DwarfUnit {
    ElfImage* image;
    const uint8_t* section;    // bytes of the section holding the unit
    uint64_t bias;             // virtual offset of the section's first byte
    uint64_t unit_offset;
    uint64_t first_entry_offset;
    uint64_t end_offset;       // one past the unit's last byte
    uint16_t version;
    uint8_t unit_type;         // DWARF 5 only, else 0
    uint8_t address_size;
    uint64_t abbrev_offset;
    uint64_t str_offsets_base;
    uint64_t addr_base;
    uint64_t type_signature;   // type units only
    uint64_t type_offset;      // type units only: virtual offset of the unit's type entry
    const DwarfAbbrevTable* abbrevs;
    DwarfEntry* entries;       // slice of the image-wide entry array
    int32_t entry_count;
    int32_t first_entry;       // image-wide index of entries[0]
};

// Working tables of one debug-information pass. The entry array is in file order over all
// accepted units, so it doubles as the sorted offset index for dwarf_find_entry.
// An entry (image-wide index) and its parent (index within its unit, -1 at the top level),
// noted during the walk for the entries whose scopes make names: variables, entries with
// children (namespaces, classes, functions, blocks) and declarations (class statics).
struct DwarfParentNote {
    int32_t index;
    int32_t parent;
};

// One type unit's signature and the virtual offset of the type it describes.
struct DwarfSignature {
    uint64_t signature;
    uint64_t offset;
};

struct DwarfWork {
    DwarfSignature* signatures;  // sorted by signature after the walk
    int32_t signature_count;
    int32_t signature_capacity;
    DwarfUnit* units;
    int32_t unit_count;
    int32_t unit_capacity;
    DwarfEntry* entries;
    int32_t entry_count;
    int32_t entry_capacity;
    DwarfParentNote* variables;  // the DW_TAG_variable entries, ascending
    int32_t variable_count;
    int32_t variable_capacity;
    DwarfParentNote* scopes;   // the other noted entries, ascending
    int32_t scope_count;
    int32_t scope_capacity;
    // Resolved types by image-wide entry index: an open-addressing table (key -1 = empty), as
    // only a small part of the entries are types that variables use.
    int32_t* type_keys;
    TypeInfo** type_values;
    uint32_t type_slots;       // a power of two, or 0
    uint32_t type_count;
    // Names of type records, each kept once in the arena (every unit repeats its types' names).
    const char** names;
    uint32_t name_slots;       // a power of two, or 0
    uint32_t name_count;
    DwarfAbbrevTable** tables;  // each table allocated on its own: units point at them
    int32_t table_count;
    int32_t table_capacity;
    // Set when no unit can refer into another (no DW_FORM_ref_addr, ref_sig8, indirect or
    // supplementary references, no type units): each unit's variables are then collected as
    // soon as the unit is read, and its entries, variables and resolved types are dropped
    // before the next one, so the entry array only ever holds one unit.
    int32_t per_unit;
    uint64_t released_to;      // .debug_info bytes below this were handed back (mapped files)
};

// DWARF_MAX_POINTEE_DEPTH: a pointer found deeper than this has no pointee record. Nothing
// flattens through pointers; the records only tell modules what a pointer points at, and
// structures that point at each other would otherwise be built again at every level (millions
// of records in a large image).
enum : int { DWARF_MAX_TYPE_DEPTH = 40, DWARF_MAX_POINTEE_DEPTH = 6, DWARF_ATTR_CAPACITY = 64 };

// The debug-information pass (elf_open calls it when .debug_info is present).
void dwarf_read_all(ElfImage* image);
// Finds the entry at exactly this .debug_info offset; 0 with unit and index set, or -1.
int dwarf_find_entry(const ElfImage* image, uint64_t offset, DwarfUnit** out_unit, int32_t* out_index);
// Decodes the attributes of one entry (at most capacity, in stored order); returns the count.
int dwarf_entry_attrs(const DwarfUnit* unit, int32_t index, DwarfAttr* out, int capacity);
// Tag of an entry.
uint64_t dwarf_entry_tag(const DwarfUnit* unit, int32_t index);
// Index of the entry's parent within its unit, or -1 at the top level.
int32_t dwarf_entry_parent(const DwarfUnit* unit, int32_t index);
// The type resolved for an entry, or null; and storing it (dropped silently when out of memory).
TypeInfo* dwarf_type_cached(const DwarfUnit* unit, int32_t index);
void dwarf_type_cache_put(DwarfUnit* unit, int32_t index, TypeInfo* type);
// The arena copy of a name, made once per distinct text during the open; null for null.
const char* dwarf_keep_name(ElfImage* image, const char* name);
// Text of a string-class attribute, or null.
const char* dwarf_attr_string(const DwarfUnit* unit, const DwarfAttr* attr);
// Value of data, udata, sdata and addrx attributes; 0 for every other class.
uint64_t dwarf_attr_constant(const DwarfAttr* attr);
// Entry offset a reference attribute points at (type signatures resolved through the type
// units); false when it points nowhere known.
bool dwarf_attr_ref(const DwarfUnit* unit, const DwarfAttr* attr, uint64_t* out_offset);
// Bytes of an entry (virtual offset) inside its unit's section.
const uint8_t* dwarf_unit_bytes(const DwarfUnit* unit, uint64_t offset);
// Address-size value at .debug_addr + base + index * size; 0 when outside the section.
uint64_t dwarf_addr_index(const DwarfUnit* unit, uint64_t index);
// Evaluates a static location expression on a small stack (addresses, constants, plus, minus);
// `base` is pushed first when given (member offsets start from the structure's address). False
// for anything that needs a running target (registers, memory, pieces, stack values) or is
// malformed; otherwise *out is the value on top of the stack.
bool dwarf_eval_expression(const DwarfUnit* unit, const uint8_t* expr, uint64_t length, const uint64_t* base,
                           uint64_t* out);

// Adds or completes the GlobalVar of one DW_TAG_variable entry.
void dwarf_collect_variable(DwarfUnit* unit, int32_t index);
// Type record of a type entry (cached per entry), or null past the depth limit.
TypeInfo* dwarf_resolve_type(DwarfUnit* unit, int32_t index, int depth);
