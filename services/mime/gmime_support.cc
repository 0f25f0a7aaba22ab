#include "services/mime/gmime_support.h"

#include <mutex>

namespace vorn_mime {
namespace {

// A GMimeStreamMem that reports each substream the parser takes (one per
// body content) to a PartBudget.
struct BudgetedStream {
  GMimeStreamMem parent;
  PartBudget* budget;
};
struct BudgetedStreamClass {
  GMimeStreamMemClass parent_class;
};

GMimeStream* (*g_parent_substream)(GMimeStream*, gint64, gint64) = nullptr;
GType g_budgeted_stream_type = 0;
GMimeParserOptions* g_parser_options = nullptr;

GMimeStream* BudgetedSubstream(GMimeStream* stream, gint64 start, gint64 end) {
  auto* self = reinterpret_cast<BudgetedStream*>(stream);
  if (self->budget) self->budget->Spend();
  return g_parent_substream(stream, start, end);
}

void BudgetedStreamClassInit(gpointer klass, gpointer /*data*/) {
  auto* stream_class = static_cast<GMimeStreamClass*>(klass);
  g_parent_substream = stream_class->substream;
  stream_class->substream = BudgetedSubstream;
}

void BudgetedStreamInit(GTypeInstance* instance, gpointer /*klass*/) {
  reinterpret_cast<BudgetedStream*>(instance)->budget = nullptr;
}

void InitOnce() {
  g_mime_init();

  GTypeInfo info{};
  info.class_size = sizeof(BudgetedStreamClass);
  info.class_init = BudgetedStreamClassInit;
  info.instance_size = sizeof(BudgetedStream);
  info.instance_init = BudgetedStreamInit;
  g_budgeted_stream_type =
      g_type_register_static(GMIME_TYPE_STREAM_MEM, "VornBudgetedStream", &info, GTypeFlags{});

  // Undeclared 8-bit header text is read as UTF-8 when it is valid, else as
  // Windows-1252 (a superset of Latin-1).
  g_parser_options = g_mime_parser_options_new();
  const char* fallback[] = {"utf-8", "windows-1252", nullptr};
  g_mime_parser_options_set_fallback_charsets(g_parser_options, fallback);
}

}  // namespace

GMimeParserOptions* EnsureGMime() {
  static std::once_flag once;
  std::call_once(once, InitOnce);
  return g_parser_options;
}

void PartBudget::Spend() {
  if (++events <= limit || exhausted || !stream) return;
  exhausted = true;
  g_mime_stream_set_bounds(stream, stream->bound_start, stream->position);
}

GMimeStream* NewBudgetedStream(GByteArray* bytes, PartBudget* budget) {
  EnsureGMime();
  auto* stream = static_cast<GMimeStream*>(g_object_new(g_budgeted_stream_type, nullptr));
  // The stream does not own the bytes it is given this way.
  g_mime_stream_mem_set_byte_array(reinterpret_cast<GMimeStreamMem*>(stream), bytes);
  reinterpret_cast<BudgetedStream*>(stream)->budget = budget;
  if (budget) budget->stream = stream;
  return stream;
}

void DetachBudget(GMimeStream* stream) {
  auto* self = reinterpret_cast<BudgetedStream*>(stream);
  if (self->budget) self->budget->stream = nullptr;
  self->budget = nullptr;
}

void SpendOnHeader(GMimeParser* /*parser*/, const char* /*name*/, const char* /*value*/,
                   gint64 /*offset*/, gpointer budget) {
  static_cast<PartBudget*>(budget)->Spend();
}

}  // namespace vorn_mime
