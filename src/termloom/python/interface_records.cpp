// The interface records: one exported, read-only data symbol per module,
// class and function, for tools that describe the module without importing
// it. Each symbol is named PYO3_INTROSPECTION_1_<number> and holds, 4-byte
// aligned, a little-endian 32-bit length and that many bytes of one JSON
// object. Everything, the symbol names included, is computed from the class
// tables during compilation; nothing in the module reads the records.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "interface_catalog.hpp"
#include "interface_text.hpp"
#include "static_text.hpp"

namespace termloom::py {
namespace {

enum class RecordKind { Module, Class, Function };

struct Record {
    RecordKind kind{};
    std::size_t class_index = 0;
    const Member* member = nullptr;  // for a function
    std::string_view name;           // the function's Python name
    bool setter = false;             // the setter of a settable property
};

constexpr Record module_record() { return {RecordKind::Module, 0, nullptr, {}, false}; }
constexpr Record class_record(std::size_t c) { return {RecordKind::Class, c, nullptr, {}, false}; }

// Calls visit(record) for every record, the module's first, then each class
// followed by its functions in table order.
template <class Visit>
constexpr void for_each_record(Visit visit) {
    visit(module_record());
    for (std::size_t c = 0; c < kClasses.size(); ++c) {
        visit(class_record(c));
        for (const Member& m : kClasses[c].members) {
            if (m.kind == MemberKind::Repr) {
                for (std::string_view slot : kRepresentationSlots) {
                    visit(Record{RecordKind::Function, c, &m, slot, false});
                }
                continue;
            }
            visit(Record{RecordKind::Function, c, &m, m.name, false});
            if (m.kind == MemberKind::Settable) visit(Record{RecordKind::Function, c, &m, m.name, true});
        }
    }
}

constexpr std::size_t count_records() {
    std::size_t n = 0;
    for_each_record([&](const Record&) { ++n; });
    return n;
}

inline constexpr std::size_t kRecordCount = count_records();

constexpr std::array<Record, kRecordCount> list_records() {
    std::array<Record, kRecordCount> all{};
    std::size_t n = 0;
    for_each_record([&](const Record& r) { all[n++] = r; });
    return all;
}

inline constexpr std::array<Record, kRecordCount> kRecords = list_records();

// What tells a record from every other: "termloom", "Pane",
// "Pane.title.setter".
constexpr Fnv1a& feed_identity(Fnv1a& hash, const Record& r) {
    if (r.kind == RecordKind::Module) return hash << kModuleName;
    hash << kClasses[r.class_index].name;
    if (r.kind == RecordKind::Class) return hash;
    hash << "." << r.name;
    if (r.setter) hash << ".setter";
    return hash;
}

constexpr std::uint64_t record_id(const Record& r) {
    Fnv1a hash;
    hash << "id of ";
    return feed_identity(hash, r).value();
}

constexpr std::uint64_t class_id(std::size_t class_index) {
    return record_id(class_record(class_index));
}

// ---------------------------------------------------------------------------
// The JSON text of a record.

constexpr void put_id(TextOut& out, std::uint64_t id) {
    out << '"';
    put_decimal(out, id);
    out << '"';
}

// ,"<key>":[{"name":...,"annotation":...,"default":...},...]; nothing for none.
constexpr void put_parameter_list(TextOut& out, std::string_view key, std::span<const Param> params) {
    if (params.empty()) return;
    out << ",\"" << key << "\":[";
    bool first = true;
    for (const Param& p : params) {
        if (!first) out << ',';
        first = false;
        out << "{\"name\":";
        put_json_string(out, p.name);
        out << ",\"annotation\":";
        put_json_string(out, p.annotation);
        if (!p.required()) {
            out << ",\"default\":";
            put_json_string(out, p.default_source);
        }
        out << '}';
    }
    out << ']';
}

constexpr void put_arguments(TextOut& out, const Record& r) {
    const Member& m = *r.member;
    out << "{\"posonlyargs\":[{\"name\":";
    put_json_string(out, m.kind == MemberKind::Constructor ? "cls" : "self");
    out << "}]";
    const bool has_args = r.setter || m.kind == MemberKind::Constructor || m.kind == MemberKind::Method;
    auto params = has_args ? m.signature.list() : std::span<const Param>();
    // A flag and an index, not a pointer into the table: the sanitizer's
    // null check of such a pointer cannot be evaluated at compile time.
    const bool has_vararg = !params.empty() && params.back().variadic();
    const std::size_t vararg_index = params.size() - 1;
    const std::span<const Param> all = params;
    if (has_vararg) params = params.first(vararg_index);
    // Keyword-only parameters follow the others (and never *args).
    const std::size_t by_position = std::min(m.signature.positional_count(), params.size());
    put_parameter_list(out, "args", params.first(by_position));
    put_parameter_list(out, "kwonlyargs", params.subspan(by_position));
    if (has_vararg) {
        out << ",\"vararg\":{\"name\":";
        put_json_string(out, all[vararg_index].name);
        out << ",\"annotation\":";
        put_json_string(out, all[vararg_index].annotation);
        out << '}';
    }
    out << '}';
}

constexpr void put_function(TextOut& out, const Record& r) {
    const Member& m = *r.member;
    out << ",\"parent\":";
    put_id(out, class_id(r.class_index));
    out << ",\"arguments\":";
    put_arguments(out, r);
    out << ",\"returns\":";
    put_json_string(out, r.setter ? m.setter_returns : m.returns);
    if (r.setter) {
        out << ",\"decorators\":[\"" << m.name << ".setter\"]";
    } else if (is_property(m)) {
        out << ",\"decorators\":[\"property\"]";
    }
}

constexpr std::string_view type_of(RecordKind kind) {
    switch (kind) {
        case RecordKind::Module: return "module";
        case RecordKind::Class: return "class";
        case RecordKind::Function: return "function";
    }
    return "";
}

constexpr void put_record_json(TextOut& out, const Record& r) {
    out << "{\"type\":";
    put_json_string(out, type_of(r.kind));
    out << ",\"name\":";
    put_json_string(out, r.kind == RecordKind::Module  ? kModuleName
                         : r.kind == RecordKind::Class ? kClasses[r.class_index].name
                                                       : r.name);
    // Only the module and the classes carry an id: a function names its
    // class by that id instead, and the module lists no members.
    if (r.kind == RecordKind::Function) {
        put_function(out, r);
    } else {
        out << ",\"id\":";
        put_id(out, record_id(r));
    }
    if (r.kind == RecordKind::Module) out << ",\"members\":[],\"incomplete\":true";
    out << '}';
}

// ---------------------------------------------------------------------------
// All records in one read-only block: each is its length, its JSON text and
// padding to the next multiple of four.

constexpr void put_length(TextOut& out, std::uint32_t length) {
    for (int shift = 0; shift < 32; shift += 8) out << static_cast<char>((length >> shift) & 0xff);
}

constexpr void put_block(TextOut& out) {
    for (const Record& r : kRecords) {
        put_length(out, static_cast<std::uint32_t>(measured_size<put_record_json>(r)));
        put_record_json(out, r);
        while (out.size() % 4 != 0) out << '\0';
    }
}

struct RecordBlock {
    alignas(4) char bytes[measured_size<put_block>()];
};

[[gnu::used]] constexpr RecordBlock kBlock = [] {
    RecordBlock block{};
    TextOut out(block.bytes);
    put_block(out);
    return block;
}();

// Where each record lies in the block, and the number of its symbol. The
// assembler takes only 32-bit immediates, so the number is written as two
// decimal parts: a high part, then a low part kept at exactly nine digits.
struct Export {
    std::size_t offset = 0;
    std::size_t size = 0;
    std::int32_t number_high = 0;  // 1 to 2^31 - 1
    std::int32_t number_low = 0;   // 100000000 to 999999999
};

constexpr Export export_of(const Record& r, std::size_t offset) {
    Fnv1a hash;
    hash << "symbol of ";
    const std::uint64_t h = feed_identity(hash, r).value();
    Export e;
    e.offset = offset;
    e.size = 4 + measured_size<put_record_json>(r);
    e.number_high = static_cast<std::int32_t>(1 + (h >> 32) % 2147483647u);
    e.number_low = static_cast<std::int32_t>(100000000 + (h & 0xffffffffu) % 900000000u);
    return e;
}

constexpr std::array<Export, kRecordCount> list_exports() {
    std::array<Export, kRecordCount> all{};
    std::size_t offset = 0;
    for (std::size_t i = 0; i < kRecordCount; ++i) {
        all[i] = export_of(kRecords[i], offset);
        offset += (all[i].size + 3) / 4 * 4;
    }
    return all;
}

inline constexpr std::array<Export, kRecordCount> kExports = list_exports();

constexpr bool ids_and_symbols_are_unique() {
    for (std::size_t i = 0; i < kRecordCount; ++i) {
        for (std::size_t j = i + 1; j < kRecordCount; ++j) {
            if (record_id(kRecords[i]) == record_id(kRecords[j])) return false;
            if (kExports[i].number_high == kExports[j].number_high &&
                kExports[i].number_low == kExports[j].number_low) {
                return false;
            }
        }
    }
    return true;
}
static_assert(ids_and_symbols_are_unique(), "two records share an id or a symbol name");
static_assert(kExports.back().offset + kExports.back().size <= sizeof(kBlock.bytes));

// Defines the record's global symbol as an alias of its place in the block.
// The version script exports it.
template <std::size_t I>
[[gnu::noinline]] void define_symbol() {
    asm(".globl PYO3_INTROSPECTION_1_%c0%c1\n\t"
        ".type PYO3_INTROSPECTION_1_%c0%c1, @object\n\t"
        ".size PYO3_INTROSPECTION_1_%c0%c1, %c2\n\t"
        ".set PYO3_INTROSPECTION_1_%c0%c1, %c3"
        :
        : "i"(kExports[I].number_high), "i"(kExports[I].number_low),
          "i"(kExports[I].size), "i"(&kBlock.bytes[kExports[I].offset]));
}

// Never called: it is kept only for the symbols its parts define.
[[gnu::used]] void define_symbols() {
    []<std::size_t... I>(std::index_sequence<I...>) {
        (define_symbol<I>(), ...);
    }(std::make_index_sequence<kRecordCount>{});
}

}  // namespace
}  // namespace termloom::py
