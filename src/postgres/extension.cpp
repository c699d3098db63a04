// The PostgreSQL entry points: the types lumo_graph (a graph stored read,
// checked and indexed) and lumo_query (a checked query text), the operator
// lumo_graph @@ lumo_query, lumo_tags(lumo_graph), and the text functions
// lumo_is_match(query, graph) and lumo_collect_tags(graph).
//
// This file is the only one that includes the server's headers. It keeps to
// the server's side of the boundary that calls.h draws: no C++ object with a
// destructor and no C++ exception is ever alive here, because ereport/elog
// leave a function by longjmp. Each entry point reads its arguments, calls
// into calls.cpp (which owns every C++ object for the length of the call and
// reports a status), and only then turns a failed status into an SQL error.
//
// Cancellation: the core polls an Interrupt about every millisecond of work.
// Ours only reads the server's flags (processing an interrupt there could
// jump through C++ frames), and stops the core only for the interrupts that
// end the statement: a cancel (pg_cancel_backend, statement_timeout) or a
// termination. Every other interrupt (a client connection check, a memory
// context dump request, a barrier) waits, pending, until the call returns;
// stopping for one would have to start the step over, and an interrupt that
// keeps arriving would then start it over forever. Once the core has
// stopped, CHECK_FOR_INTERRUPTS() runs here, after it returned, and raises
// the cancel, timeout or termination error.
//
// A query text is compiled once per call site: the compiled query lives in
// fn_extra, tied to fn_mcxt by a reset callback that frees it with that
// context, and is reused only while the text stays byte-for-byte the same.
#include "base/compiler.h"
#include "postgres/calls.h"

extern "C" {
#include "postgres.h"

#include "catalog/namespace.h"
#include "access/gin.h"
#include "access/stratnum.h"
#include "catalog/pg_type.h"
#include "fmgr.h"
#include "mb/pg_wchar.h"
#include "miscadmin.h"
#include "utils/array.h"
#include "lib/stringinfo.h"
#include "libpq/pqformat.h"
#include "utils/builtins.h"
#include "utils/memutils.h"
}

// The library is built with its symbols hidden: the server's own export
// declarations (module magic, function info records, the entry points) must
// make the only symbols it exports. PGDLLEXPORT does that on MSVC and, from
// PostgreSQL 16, where the compiler has the visibility attribute; elsewhere
// the server's headers leave it empty, and it takes our export mark (those
// headers use it only inside the macros below, which expand here).
#if !defined(_MSC_VER) && !defined(HAVE_VISIBILITY_ATTRIBUTE)
#undef PGDLLEXPORT
#define PGDLLEXPORT LUMO_EXPORT
#endif

extern "C" {
PG_MODULE_MAGIC;

PG_FUNCTION_INFO_V1(lumo_is_match);
PG_FUNCTION_INFO_V1(lumo_collect_tags);
PG_FUNCTION_INFO_V1(lumo_graph_in);
PG_FUNCTION_INFO_V1(lumo_graph_out);
PG_FUNCTION_INFO_V1(lumo_graph_recv);
PG_FUNCTION_INFO_V1(lumo_graph_send);
PG_FUNCTION_INFO_V1(lumo_query_in);
PG_FUNCTION_INFO_V1(lumo_query_out);
PG_FUNCTION_INFO_V1(lumo_query_recv);
PG_FUNCTION_INFO_V1(lumo_query_send);
PG_FUNCTION_INFO_V1(lumo_graph_match);
PG_FUNCTION_INFO_V1(lumo_graph_tags);
PG_FUNCTION_INFO_V1(lumo_gin_extract_graph);
PG_FUNCTION_INFO_V1(lumo_gin_extract_query);
PG_FUNCTION_INFO_V1(lumo_gin_consistent);
PG_FUNCTION_INFO_V1(lumo_gin_triconsistent);
}

namespace {

using lumo::pg::CompiledQuery;
using lumo::pg::ErrorText;
using lumo::pg::Status;

// Stops the core when the statement is to end: a cancel or a termination is
// pending and can be processed now (inside a hold-off CHECK_FOR_INTERRUPTS()
// would return without raising, so it does not count).
class CancelHook final : public lumo::Interrupt {
 public:
  bool should_stop() override {
    return (QueryCancelPending || ProcDiePending) && INTERRUPTS_CAN_BE_PROCESSED();
  }
};

CancelHook cancel_hook;

// Output memory for the core's results: the current memory context, null
// instead of an error when memory runs out.
void* allocate(std::size_t size) {
  if (!AllocHugeSizeIsValid(size)) return nullptr;
  return palloc_extended(size, MCXT_ALLOC_HUGE | MCXT_ALLOC_NO_OOM);
}

// The core reads and writes UTF-8; other database encodings are converted.
bool database_is_utf8() { return GetDatabaseEncoding() == PG_UTF8; }

std::string_view core_text(const char* data, std::size_t length) {
  if (database_is_utf8() || length == 0) return {data, length};
  char* converted = pg_server_to_any(data, static_cast<int>(length), PG_UTF8);
  if (converted == data) return {data, length};
  return {converted, strlen(converted)};
}

std::string_view core_text(const text* value) {
  return core_text(VARDATA_ANY(value), VARSIZE_ANY_EXHDR(value));
}

const char* server_text(const char* utf8, std::size_t length) {
  if (database_is_utf8()) return utf8;
  return pg_any_to_server(utf8, static_cast<int>(length), PG_UTF8);
}

// Appends the character of code point `c` as the language writes it in a
// quoted tag: \uXXXX, a surrogate pair above U+FFFF.
void append_escape(StringInfo out, pg_wchar c) {
  if (c > 0xFFFF) {
    c -= 0x10000;
    appendStringInfo(out, "\\u%04X\\u%04X", 0xD800 + (c >> 10), 0xDC00 + (c & 0x3FF));
  } else {
    appendStringInfo(out, "\\u%04X", c);
  }
}

// A message of the core in the database's encoding. Where the database has
// no equivalent for a character of the message (a tag of the text, say),
// the character is written as its escape rather than failing the
// conversion, which would replace our error with an encoding error.
const char* server_message(const char* utf8) {
  const int database = GetDatabaseEncoding();
  if (database == PG_UTF8 || database == PG_SQL_ASCII) {
    return server_text(utf8, strlen(utf8));
  }
  const Oid convert = FindDefaultConversionProc(PG_UTF8, database);
  StringInfoData out;
  initStringInfo(&out);
  const auto* at = reinterpret_cast<const unsigned char*>(utf8);
  while (*at != 0) {
    if (*at < 0x80) {  // every server encoding keeps ASCII as it is
      appendStringInfoChar(&out, static_cast<char>(*at++));
      continue;
    }
    const int length = pg_utf_mblen(at);
    if (strnlen(reinterpret_cast<const char*>(at), length) < static_cast<std::size_t>(length) ||
        !pg_utf8_islegal(at, length)) {
      appendStringInfo(&out, "\\x%02X", *at++);  // not expected: the core's texts are UTF-8
      continue;
    }
    unsigned char converted[MAX_CONVERSION_GROWTH * 4 + 1];
    if (OidIsValid(convert) &&
        pg_do_encoding_conversion_buf(convert, PG_UTF8, database, const_cast<unsigned char*>(at),
                                      length, converted, sizeof converted, true) == length) {
      appendStringInfoString(&out, reinterpret_cast<const char*>(converted));
    } else {
      append_escape(&out, utf8_to_unicode(at));
    }
    at += length;
  }
  return out.data;
}

// Raises the SQL error for a failed status; returns only for kOk.
void raise_failure(Status status, const ErrorText& error) {
  switch (status) {
    case Status::kOk:
      return;
    case Status::kInterrupted:
      // The hook stopped the core for a pending cancel or termination, which
      // this raises. Should it raise nothing after all, the statement still
      // ends here rather than starting the step over.
      CHECK_FOR_INTERRUPTS();
      ereport(ERROR, (errcode(ERRCODE_QUERY_CANCELED),
                      errmsg("canceling statement due to user request")));
      return;
    case Status::kInvalid: {
      const char* message = server_message(error.message);
      if (error.detail == nullptr) {
        ereport(ERROR, (errcode(ERRCODE_INVALID_TEXT_REPRESENTATION),
                        errmsg_internal("%s", message)));
      }
      const char* detail = server_message(error.detail);
      ereport(ERROR, (errcode(ERRCODE_INVALID_TEXT_REPRESENTATION),
                      errmsg_internal("%s", message), errdetail_internal("%s", detail)));
      return;
    }
    case Status::kOutOfMemory:
      ereport(ERROR, (errcode(ERRCODE_OUT_OF_MEMORY), errmsg("out of memory"),
                      errdetail("The lumo_query matching core could not allocate memory.")));
      return;
    case Status::kFailed:
      elog(ERROR, "lumo_query: unexpected failure in the matching core");
      return;
    case Status::kDamaged:
      ereport(ERROR, (errcode(ERRCODE_DATA_CORRUPTED),
                      errmsg("lumo_graph value is damaged"),
                      errdetail("Its bytes do not hold a stored graph of this version.")));
      return;
  }
}

// The per-call-site cache of lumo_is_match, in the call site's fn_mcxt.
struct CallSite {
  MemoryContextCallback on_reset;  // frees `query` with the context
  MemoryContext home;
  CompiledQuery* query;            // null when nothing is cached
  char* text;                      // the server text `query` came from
  std::size_t length;
  std::size_t capacity;
};

void forget_query(void* arg) {
  auto* site = static_cast<CallSite*>(arg);
  lumo::pg::release(site->query);
  site->query = nullptr;
}

// The cache of this call site; without a call site (a direct call), a fresh
// one in the current context, freed with it.
CallSite* call_site(FunctionCallInfo fcinfo) {
  FmgrInfo* flinfo = fcinfo->flinfo;
  if (flinfo != nullptr && flinfo->fn_extra != nullptr) {
    return static_cast<CallSite*>(flinfo->fn_extra);
  }
  MemoryContext home = flinfo != nullptr ? flinfo->fn_mcxt : CurrentMemoryContext;
  auto* site = static_cast<CallSite*>(MemoryContextAllocZero(home, sizeof(CallSite)));
  site->home = home;
  site->on_reset.func = forget_query;
  site->on_reset.arg = site;
  MemoryContextRegisterResetCallback(home, &site->on_reset);
  if (flinfo != nullptr) flinfo->fn_extra = site;
  return site;
}

// The compiled form of the query text `arg`: the cached one when the text
// is unchanged, otherwise compiled now and cached in its place.
const CompiledQuery* query_for(FunctionCallInfo fcinfo, const text* arg) {
  CallSite* site = call_site(fcinfo);
  const char* data = VARDATA_ANY(arg);
  const std::size_t length = VARSIZE_ANY_EXHDR(arg);
  if (site->query != nullptr && site->length == length &&
      memcmp(site->text, data, length) == 0) {
    return site->query;
  }
  forget_query(site);
  if (site->capacity < length || site->text == nullptr) {
    char* bigger = static_cast<char*>(MemoryContextAlloc(site->home, length + 1));
    if (site->text != nullptr) pfree(site->text);
    site->text = bigger;
    site->capacity = length;
  }
  const std::string_view source = core_text(data, length);
  ErrorText error{nullptr, nullptr};
  CompiledQuery* compiled = nullptr;
  raise_failure(lumo::pg::compile(source, &cancel_hook, allocate, &compiled, &error), error);
  memcpy(site->text, data, length);
  site->length = length;
  site->query = compiled;
  return compiled;
}

// A tag as a text value. PostgreSQL's text has no NUL, which a quoted tag's
// \u0000 escape gives: refused as the server's own JSON types refuse it.
text* tag_text(const char* tag, std::size_t length) {
  if (memchr(tag, '\0', length) != nullptr) {
    ereport(ERROR, (errcode(ERRCODE_UNTRANSLATABLE_CHARACTER),
                    errmsg("unsupported Unicode escape sequence"),
                    errdetail("\\u0000 cannot be converted to text.")));
  }
  const char* converted = server_text(tag, length);
  if (converted != tag) length = strlen(converted);
  return cstring_to_text_with_len(converted, static_cast<int>(length));
}

// A text[] of a tag list.
ArrayType* tag_array(const lumo::pg::TagList& tags) {
  Datum* elements = static_cast<Datum*>(palloc(sizeof(Datum) * (tags.count + 1)));
  for (std::size_t i = 0; i < tags.count; ++i) {
    elements[i] = PointerGetDatum(tag_text(tags.texts[i], tags.lengths[i]));
  }
  return construct_array(elements, static_cast<int>(tags.count), TEXTOID, -1, false,
                         TYPALIGN_INT);
}

// The bytes of a lumo_graph value, detoasted (a short header is fine: the
// stored form is read byte by byte, at any alignment).
std::span<const std::byte> stored_block(Datum value) {
  const struct varlena* v = PG_DETOAST_DATUM_PACKED(value);
  return {reinterpret_cast<const std::byte*>(VARDATA_ANY(v)), VARSIZE_ANY_EXHDR(v)};
}

std::string_view kept_text(std::span<const std::byte> block) {
  std::string_view kept;
  raise_failure(lumo::pg::stored_text(block, &kept), ErrorText{});
  return kept;
}

// A lumo_graph value of the server text `source`: read, checked and stored.
struct varlena* stored_graph(const char* source, std::size_t length) {
  char* memory = nullptr;
  std::size_t size = 0;
  ErrorText error{nullptr, nullptr};
  raise_failure(lumo::pg::store(core_text(source, length), {source, length}, &cancel_hook,
                                allocate, VARHDRSZ, &memory, &size, &error),
                error);
  if (size > MaxAllocSize - VARHDRSZ) {
    ereport(ERROR, (errcode(ERRCODE_PROGRAM_LIMIT_EXCEEDED),
                    errmsg("lumo_graph value too large: %zu bytes", size)));
  }
  auto* value = reinterpret_cast<struct varlena*>(memory);
  SET_VARSIZE(value, VARHDRSZ + size);
  return value;
}

// A lumo_query value of the server text `source`, checked by compiling it.
text* checked_query(const char* source, std::size_t length) {
  ErrorText error{nullptr, nullptr};
  CompiledQuery* compiled = nullptr;
  raise_failure(lumo::pg::compile(core_text(source, length), &cancel_hook, allocate, &compiled,
                                  &error),
                error);
  lumo::pg::release(compiled);
  return cstring_to_text_with_len(source, static_cast<int>(length));
}

// The text of a binary value: a version byte (1), then the text in the
// client's encoding, converted to the server's.
const char* received_text(StringInfo buffer, const char* type, int* length) {
  const int version = pq_getmsgint(buffer, 1);
  if (version != 1) {
    ereport(ERROR, (errcode(ERRCODE_INVALID_BINARY_REPRESENTATION),
                    errmsg("unsupported %s binary format version %d", type, version)));
  }
  const char* source = pq_getmsgtext(buffer, buffer->len - buffer->cursor, length);
  if (memchr(source, '\0', static_cast<std::size_t>(*length)) != nullptr) {
    ereport(ERROR, (errcode(ERRCODE_INVALID_BINARY_REPRESENTATION),
                    errmsg("invalid %s binary value: the text holds a NUL byte", type)));
  }
  return source;
}

bytea* versioned_text(const char* data, std::size_t length) {
  StringInfoData buffer;
  pq_begintypsend(&buffer);
  pq_sendint8(&buffer, 1);
  pq_sendtext(&buffer, data, static_cast<int>(length));
  return pq_endtypsend(&buffer);
}

}  // namespace

extern "C" PGDLLEXPORT Datum lumo_is_match(PG_FUNCTION_ARGS) {
  text* query_arg = PG_GETARG_TEXT_PP(0);
  text* graph_arg = PG_GETARG_TEXT_PP(1);
  // The query first: its errors come before the graph's, as in the module.
  const CompiledQuery* query = query_for(fcinfo, query_arg);
  const std::string_view graph = core_text(graph_arg);
  ErrorText error{nullptr, nullptr};
  bool matched = false;
  raise_failure(lumo::pg::match(*query, graph, &cancel_hook, allocate, &matched, &error), error);
  PG_RETURN_BOOL(matched);
}

extern "C" PGDLLEXPORT Datum lumo_collect_tags(PG_FUNCTION_ARGS) {
  const std::string_view graph = core_text(PG_GETARG_TEXT_PP(0));
  lumo::pg::TagList tags{0, nullptr, nullptr};
  ErrorText error{nullptr, nullptr};
  raise_failure(lumo::pg::collect(graph, &cancel_hook, allocate, &tags, &error), error);
  PG_RETURN_ARRAYTYPE_P(tag_array(tags));
}

// --- lumo_graph -----------------------------------------------------------------

extern "C" PGDLLEXPORT Datum lumo_graph_in(PG_FUNCTION_ARGS) {
  const char* source = PG_GETARG_CSTRING(0);
  PG_RETURN_POINTER(stored_graph(source, strlen(source)));
}

extern "C" PGDLLEXPORT Datum lumo_graph_out(PG_FUNCTION_ARGS) {
  const std::string_view kept = kept_text(stored_block(PG_GETARG_DATUM(0)));
  PG_RETURN_CSTRING(pnstrdup(kept.data(), kept.size()));
}

// The binary form is a version byte and the text, as jsonb's is: what is
// received goes through the parser, never straight into a stored block.
extern "C" PGDLLEXPORT Datum lumo_graph_recv(PG_FUNCTION_ARGS) {
  int length = 0;
  const char* source = received_text(reinterpret_cast<StringInfo>(PG_GETARG_POINTER(0)),
                                     "lumo_graph", &length);
  PG_RETURN_POINTER(stored_graph(source, static_cast<std::size_t>(length)));
}

extern "C" PGDLLEXPORT Datum lumo_graph_send(PG_FUNCTION_ARGS) {
  const std::string_view kept = kept_text(stored_block(PG_GETARG_DATUM(0)));
  PG_RETURN_BYTEA_P(versioned_text(kept.data(), kept.size()));
}

extern "C" PGDLLEXPORT Datum lumo_graph_tags(PG_FUNCTION_ARGS) {
  const std::span<const std::byte> block = stored_block(PG_GETARG_DATUM(0));
  lumo::pg::TagList tags{0, nullptr, nullptr};
  raise_failure(lumo::pg::collect_stored(block, &cancel_hook, allocate, &tags), ErrorText{});
  PG_RETURN_ARRAYTYPE_P(tag_array(tags));
}

// --- lumo_query -----------------------------------------------------------------

extern "C" PGDLLEXPORT Datum lumo_query_in(PG_FUNCTION_ARGS) {
  const char* source = PG_GETARG_CSTRING(0);
  PG_RETURN_TEXT_P(checked_query(source, strlen(source)));
}

extern "C" PGDLLEXPORT Datum lumo_query_out(PG_FUNCTION_ARGS) {
  PG_RETURN_CSTRING(text_to_cstring(PG_GETARG_TEXT_PP(0)));
}

extern "C" PGDLLEXPORT Datum lumo_query_recv(PG_FUNCTION_ARGS) {
  int length = 0;
  const char* source = received_text(reinterpret_cast<StringInfo>(PG_GETARG_POINTER(0)),
                                     "lumo_query", &length);
  PG_RETURN_TEXT_P(checked_query(source, static_cast<std::size_t>(length)));
}

extern "C" PGDLLEXPORT Datum lumo_query_send(PG_FUNCTION_ARGS) {
  const text* query = PG_GETARG_TEXT_PP(0);
  PG_RETURN_BYTEA_P(versioned_text(VARDATA_ANY(query), VARSIZE_ANY_EXHDR(query)));
}

// --- the operator -----------------------------------------------------------------

// graph @@ query: whether the query matches the stored graph. The query is
// compiled once per call site, as lumo_is_match's is.
extern "C" PGDLLEXPORT Datum lumo_graph_match(PG_FUNCTION_ARGS) {
  const std::span<const std::byte> block = stored_block(PG_GETARG_DATUM(0));
  const CompiledQuery* query = query_for(fcinfo, PG_GETARG_TEXT_PP(1));
  bool matched = false;
  raise_failure(lumo::pg::match_stored(*query, block, &cancel_hook, &matched), ErrorText{});
  PG_RETURN_BOOL(matched);
}

// --- the GIN operator class -------------------------------------------------------
//
// Keys are the 32-bit keys (int4) of a graph's tags and identities, what
// lumo_tags gives. A query's keys and its condition over them follow the
// condition to_sql prints; a key's presence says only that some string
// with that key is there, so every row found is rechecked by @@.

namespace {

Datum* int4_keys(const lumo::pg::GinKeys& keys) {
  Datum* out = static_cast<Datum*>(palloc(sizeof(Datum) * (keys.count + 1)));
  for (std::size_t i = 0; i < keys.count; ++i) {
    out[i] = Int32GetDatum(static_cast<int32>(keys.keys[i]));
  }
  return out;
}

}  // namespace

extern "C" PGDLLEXPORT Datum lumo_gin_extract_graph(PG_FUNCTION_ARGS) {
  const std::span<const std::byte> block = stored_block(PG_GETARG_DATUM(0));
  auto* count = reinterpret_cast<int32*>(PG_GETARG_POINTER(1));
  lumo::pg::GinKeys keys{0, nullptr};
  raise_failure(lumo::pg::gin_graph_keys(block, &cancel_hook, allocate, &keys), ErrorText{});
  *count = static_cast<int32>(keys.count);
  PG_RETURN_POINTER(int4_keys(keys));
}

extern "C" PGDLLEXPORT Datum lumo_gin_extract_query(PG_FUNCTION_ARGS) {
  auto* count = reinterpret_cast<int32*>(PG_GETARG_POINTER(1));
  auto** extra = reinterpret_cast<Pointer**>(PG_GETARG_POINTER(4));
  auto* mode = reinterpret_cast<int32*>(PG_GETARG_POINTER(6));
  const CompiledQuery* query = query_for(fcinfo, PG_GETARG_TEXT_PP(0));
  lumo::pg::GinQuery* plan = nullptr;
  lumo::pg::GinKeys keys{0, nullptr};
  bool always_true = false;
  raise_failure(lumo::pg::gin_query(*query, &cancel_hook, allocate, &plan, &keys, &always_true),
                ErrorText{});
  *count = static_cast<int32>(keys.count);
  if (always_true) {
    // Every row: the scan reads them all, and the recheck decides.
    *count = 0;
    *mode = GIN_SEARCH_MODE_ALL;
    PG_RETURN_POINTER(nullptr);
  }
  // No keys and not always true: no row satisfies the condition, and a
  // default-mode scan without keys returns none.
  if (keys.count != 0) {
    Pointer* per_key = static_cast<Pointer*>(palloc(sizeof(Pointer) * keys.count));
    for (std::size_t i = 0; i < keys.count; ++i) per_key[i] = reinterpret_cast<Pointer>(plan);
    *extra = per_key;
  }
  PG_RETURN_POINTER(int4_keys(keys));
}

namespace {

// The condition's value (0 false, 1 maybe, 2 true) for the key states that
// `state(i)` gives in the same terms. A scan of every row (an always-true
// condition) has no keys and no plan: its rows all count.
template <class State>
int condition(Pointer* extra, int32 count, State&& state) {
  if (extra == nullptr || count <= 0) return 1;
  const auto* plan = reinterpret_cast<const lumo::pg::GinQuery*>(extra[0]);
  unsigned char local[256];
  unsigned char* states = count <= 256 ? local : static_cast<unsigned char*>(palloc(count));
  for (int32 i = 0; i < count; ++i) states[i] = state(i);
  const int value = lumo::pg::gin_evaluate(*plan, states, static_cast<std::size_t>(count));
  if (states != local) pfree(states);
  return value;
}

}  // namespace

extern "C" PGDLLEXPORT Datum lumo_gin_consistent(PG_FUNCTION_ARGS) {
  const bool* check = reinterpret_cast<bool*>(PG_GETARG_POINTER(0));
  const int32 count = PG_GETARG_INT32(3);
  auto** extra = reinterpret_cast<Pointer*>(PG_GETARG_POINTER(4));
  bool* recheck = reinterpret_cast<bool*>(PG_GETARG_POINTER(5));
  *recheck = true;
  const int value = condition(extra, count, [&](int32 i) -> unsigned char { return check[i] ? 2 : 0; });
  PG_RETURN_BOOL(value != 0);
}

extern "C" PGDLLEXPORT Datum lumo_gin_triconsistent(PG_FUNCTION_ARGS) {
  const GinTernaryValue* check = reinterpret_cast<GinTernaryValue*>(PG_GETARG_POINTER(0));
  const int32 count = PG_GETARG_INT32(3);
  auto** extra = reinterpret_cast<Pointer*>(PG_GETARG_POINTER(4));
  const int value = condition(extra, count, [&](int32 i) -> unsigned char {
    return check[i] == GIN_TRUE ? 2 : check[i] == GIN_MAYBE ? 1 : 0;
  });
  // Never GIN_TRUE: a present key may be another string's, so @@ rechecks.
  PG_RETURN_GIN_TERNARY_VALUE(value == 0 ? GIN_FALSE : GIN_MAYBE);
}
