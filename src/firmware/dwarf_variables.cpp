// dwarf_variables.cpp - global variables from DW_TAG_variable entries: location, name as a
// debugger names it, type.
//
// Names: a variable inside namespaces, classes or functions is named through them, in the form
// gdb evaluates (see qualified_name); the scopes are those of the definition's declaration
// (DW_AT_specification) when it has one. A second variable of the same name at another address
// (file statics of two files) is named "'file.c'::name", which gdb accepts too.
#include <cstring>

#include "core/text.h"
#include "firmware/dwarf.h"

namespace {

enum : size_t { QUALIFIED_NAME_CAPACITY = 512 };
enum : int { QUALIFY_MAX_DEPTH = 32, ORIGIN_MAX_HOPS = 8 };

// What a variable entry says about itself.
struct VariableAttrs {
    const char* name;
    const char* linkage_name;
    uint64_t address;
    uint64_t type_ref;
    uint64_t origin;
    bool has_location, has_type, has_origin, artificial, declaration;
};

// A fixed location: an expression that evaluates to an address without a running target. An
// address of 0 is taken as no location (a discarded definition).
void variable_location(const DwarfUnit* unit, const DwarfAttr& a, VariableAttrs* v) {
    switch (a.cls) {
        case ATTR_EXPRLOC: case ATTR_BLOCK:
            v->has_location = dwarf_eval_expression(unit, a.data, a.value, nullptr, &v->address) && v->address != 0;
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

// Name and origin of an entry (DW_AT_specification, DW_AT_abstract_origin or DW_AT_signature).
void entry_name_origin(const DwarfUnit* unit, int32_t index, const char** name, uint64_t* origin, bool* has_origin) {
    DwarfAttr attrs[DWARF_ATTR_CAPACITY];
    int n = dwarf_entry_attrs(unit, index, attrs, DWARF_ATTR_CAPACITY);
    for (int i = 0; i < n; i++) {
        if (attrs[i].code == DW_AT_name) *name = dwarf_attr_string(unit, &attrs[i]);
        // A declaration that names its type unit is qualified there (the unit repeats the scopes).
        if ((attrs[i].code == DW_AT_specification || attrs[i].code == DW_AT_abstract_origin ||
             attrs[i].code == DW_AT_signature) &&
            dwarf_attr_ref(unit, &attrs[i], origin))
            *has_origin = true;
    }
}

void append(char* out, size_t capacity, const char* text) {
    size_t used = strlen(out);
    if (used < capacity) text_copy(out + used, capacity - used, text);
}

void qualify_entry(const DwarfUnit* unit, int32_t index, char* out, size_t capacity, int depth);

// Whether a scope entry has a name of its own or through its declaration (an anonymous
// namespace is named as gdb names it).
bool scope_is_named(const DwarfUnit* unit, int32_t index, uint64_t tag) {
    if (tag == DW_TAG_namespace) return true;
    const char* name = nullptr;
    uint64_t origin = 0;
    bool has_origin = false;
    entry_name_origin(unit, index, &name, &origin, &has_origin);
    return has_origin || (name && name[0]);
}

// Appends the scopes that enclose an entry, each followed by "::"; returns the tag of the
// innermost one (0 at the top level of the unit).
uint64_t qualify_parents(const DwarfUnit* unit, int32_t index, char* out, size_t capacity, int depth) {
    if (depth > QUALIFY_MAX_DEPTH) return 0;
    int32_t parent = dwarf_entry_parent(unit, index);
    if (parent < 0) return 0;
    uint64_t tag = dwarf_entry_tag(unit, parent);
    switch (tag) {
        case DW_TAG_namespace: case DW_TAG_structure_type: case DW_TAG_class_type: case DW_TAG_union_type:
        case DW_TAG_subprogram:
            // A scope without a name names nothing: clang leaves the function of a static that
            // was inlined everywhere as an empty subprogram ("::calls" is no name at all).
            if (!scope_is_named(unit, parent, tag)) return qualify_parents(unit, parent, out, capacity, depth + 1);
            qualify_entry(unit, parent, out, capacity, depth + 1);
            append(out, capacity, "::");
            return tag;
        case DW_TAG_lexical_block:
            return qualify_parents(unit, parent, out, capacity, depth + 1);
        default:
            return 0;  // the unit itself: the outermost scope
    }
}

// Appends the qualified name of a scope entry (namespace, class, function). A function defined
// outside its class is named through its declaration.
void qualify_entry(const DwarfUnit* unit, int32_t index, char* out, size_t capacity, int depth) {
    const char* name = nullptr;
    uint64_t origin = 0;
    bool has_origin = false;
    entry_name_origin(unit, index, &name, &origin, &has_origin);
    DwarfUnit* origin_unit = nullptr;
    int32_t origin_index = -1;
    if (has_origin && depth <= QUALIFY_MAX_DEPTH &&
        dwarf_find_entry(unit->image, origin, &origin_unit, &origin_index) == 0) {
        qualify_entry(origin_unit, origin_index, out, capacity, depth + 1);
        return;
    }
    qualify_parents(unit, index, out, capacity, depth);
    if (name) append(out, capacity, name);
    else if (dwarf_entry_tag(unit, index) == DW_TAG_namespace) append(out, capacity, "(anonymous namespace)");
}

bool simple_scope(const char* scope) {
    return !strstr(scope, "::") && !strpbrk(scope, "<( ");
}

// The variable's name as gdb evaluates it: "ns::counter", "Cfg::level" for one plain scope;
// the whole name quoted for deeper or unusual scopes ("'ns::inner::gain'", "'(anonymous
// namespace)::hidden'", "'Stat<long>::value'"); function statics as "function::name", the
// function quoted when it is itself qualified ("'ns::tick'::calls").
void qualified_name(const DwarfUnit* unit, int32_t index, const char* name, char* out, size_t capacity) {
    char scope[QUALIFIED_NAME_CAPACITY] = "";
    uint64_t innermost = qualify_parents(unit, index, scope, sizeof scope, 0);
    size_t length = strlen(scope);
    if (length < 2) {
        text_copy(out, capacity, name);
        return;
    }
    scope[length - 2] = '\0';  // the trailing "::"
    if (innermost == DW_TAG_subprogram && !simple_scope(scope))
        text_printf(out, capacity, "'%s'::%s", scope, name);
    else if (innermost == DW_TAG_subprogram || simple_scope(scope))
        text_printf(out, capacity, "%s::%s", scope, name);
    else
        text_printf(out, capacity, "'%s::%s'", scope, name);
}

// The declaration a definition points at (DW_AT_specification, DW_AT_abstract_origin) supplies
// the name, the type when the definition carries none (C compilers put both only on the
// declaration when an extern variable is defined in the same file), and the enclosing scopes.
// The link is followed as far as it goes: GCC's link-time optimiser places a variable by an
// abstract origin in another unit whose entry is itself only a DW_AT_specification of the
// declaration (inside its namespace or class, or the extern of a header) that has the name.
void variable_from_origin(const DwarfUnit* unit, VariableAttrs* v, DwarfUnit** scope_unit, int32_t* scope_index) {
    uint64_t next = v->origin;
    for (int hop = 0; hop < ORIGIN_MAX_HOPS; hop++) {
        DwarfUnit* origin_unit = nullptr;
        int32_t origin = -1;
        if (dwarf_find_entry(unit->image, next, &origin_unit, &origin) != 0) return;
        *scope_unit = origin_unit;
        *scope_index = origin;
        bool further = false;
        DwarfAttr attrs[DWARF_ATTR_CAPACITY];
        int n = dwarf_entry_attrs(origin_unit, origin, attrs, DWARF_ATTR_CAPACITY);
        for (int i = 0; i < n; i++) {
            if (attrs[i].code == DW_AT_name && !v->name) v->name = dwarf_attr_string(origin_unit, &attrs[i]);
            if ((attrs[i].code == DW_AT_linkage_name || attrs[i].code == DW_AT_MIPS_linkage_name) && !v->linkage_name)
                v->linkage_name = dwarf_attr_string(origin_unit, &attrs[i]);
            if (attrs[i].code == DW_AT_type && !v->has_type) v->has_type = dwarf_attr_ref(origin_unit, &attrs[i], &v->type_ref);
            if ((attrs[i].code == DW_AT_specification || attrs[i].code == DW_AT_abstract_origin) &&
                dwarf_attr_ref(origin_unit, &attrs[i], &next))
                further = true;
        }
        if (!further) return;
    }
}

// File name of the unit (its DW_AT_name without directories), or null.
const char* unit_file_name(const DwarfUnit* unit) {
    if (unit->entry_count < 1) return nullptr;
    const char* name = nullptr;
    DwarfAttr attrs[DWARF_ATTR_CAPACITY];
    int n = dwarf_entry_attrs(unit, 0, attrs, DWARF_ATTR_CAPACITY);
    for (int i = 0; i < n; i++)
        if (attrs[i].code == DW_AT_name) name = dwarf_attr_string(unit, &attrs[i]);
    if (!name) return nullptr;
    for (const char* p = name; *p; p++)
        if (*p == '/' || *p == '\\') name = p + 1;
    return name[0] ? name : nullptr;
}

TypeInfo* resolve_at(const DwarfUnit* unit, uint64_t offset) {
    DwarfUnit* target_unit = nullptr;
    int32_t target = -1;
    if (dwarf_find_entry(unit->image, offset, &target_unit, &target) != 0) return nullptr;
    return dwarf_resolve_type(target_unit, target, 0);
}

// GCC defines an in-class constant (static constexpr member) with a DW_AT_specification and no
// location even when the program takes its address: the symbol-table pass places it by its
// linker name, under this name and type, instead of listing an untyped mangled symbol.
void remember_linkage_variable(const DwarfUnit* unit, const VariableAttrs* v, const char* name) {
    ElfImage* image = unit->image;
    if (elf_find_global(image, name) >= 0) return;
    ElfLinkageVar* entry = static_cast<ElfLinkageVar*>(elf_arena_alloc(image, sizeof(ElfLinkageVar)));
    if (!entry) return;
    entry->linkage_name = v->linkage_name;
    entry->name = elf_arena_strdup(image, name);
    entry->type = v->has_type ? resolve_at(unit, v->type_ref) : nullptr;
    if (!entry->name) return;
    entry->next = image->linkage_vars;
    image->linkage_vars = entry;
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
            case DW_AT_linkage_name: case DW_AT_MIPS_linkage_name:
                v.linkage_name = dwarf_attr_string(unit, &a);
                break;
            case DW_AT_abstract_origin: case DW_AT_specification:
                v.has_origin = dwarf_attr_ref(unit, &a, &v.origin);
                break;
            case DW_AT_artificial: v.artificial = dwarf_attr_constant(&a) != 0; break;
            case DW_AT_declaration: v.declaration = dwarf_attr_constant(&a) != 0; break;
            case DW_AT_type: v.has_type = dwarf_attr_ref(unit, &a, &v.type_ref); break;
            default: break;
        }
    }
    if (v.declaration || v.artificial) return;
    // Without a location only a definition with a linker name can be placed (by its symbol).
    if (!v.has_location && !v.has_origin && !v.linkage_name) return;
    DwarfUnit* scope_unit = unit;
    int32_t scope_index = index;
    if (v.has_origin) variable_from_origin(unit, &v, &scope_unit, &scope_index);
    if (!v.name || !v.name[0]) return;
    // A concrete instance of a local (an origin, no fixed location, no linker name) is nothing
    // to list: most variables of an optimised image are such, so they are not even named.
    bool has_linkage_name = v.linkage_name && v.linkage_name[0];
    if (!v.has_location && !has_linkage_name) return;

    char name[QUALIFIED_NAME_CAPACITY];
    qualified_name(scope_unit, scope_index, v.name, name, sizeof name);
    if (!v.has_location) {
        remember_linkage_variable(unit, &v, name);
        return;
    }

    ElfImage* image = unit->image;
    int32_t known = elf_find_global(image, name);
    if (known >= 0 && image->globals[known].address != v.address) {
        // Another variable of this name lives elsewhere (a file static of another file). The file
        // is the one that declares it: after link-time optimisation the unit that places it is
        // named "<artificial>" and places the statics of every file.
        const char* file = unit_file_name(scope_unit);
        if (!file) return;
        char in_file[QUALIFIED_NAME_CAPACITY];
        text_printf(in_file, sizeof in_file, "'%s'::%s", file, name);
        text_copy(name, sizeof name, in_file);
        known = elf_find_global(image, name);
        if (known >= 0 && image->globals[known].address != v.address) return;
    }
    if (known >= 0) {
        GlobalVar& g = image->globals[known];
        if (g.type || !v.has_type) return;
        g.type = resolve_at(unit, v.type_ref);
        g.from_debug_info = 1;
        return;
    }
    TypeInfo* type = v.has_type ? resolve_at(unit, v.type_ref) : nullptr;
    elf_global_append(image, name, v.address, type && type->byte_size ? type->byte_size : 0, type, 1);
}
