// The one place that sets GMime up, plus small owners for its objects.
// GMime and GLib types never leave this service's folder.
#pragma once

#include <gmime/gmime.h>

#include <utility>

namespace vorn_mime {

// Initialises GMime once per process (thread-safe) and returns the parser
// options every parse uses. GMime is never shut down: its type system cannot
// be unloaded, which is why the library is linked to stay loaded.
GMimeParserOptions* EnsureGMime();

// Holds one reference to a GObject and drops it exactly once.
template <class T>
class GObjectPtr {
 public:
  GObjectPtr() = default;
  // Takes over a reference the caller owns.
  explicit GObjectPtr(T* owned) : p_(owned) {}
  GObjectPtr(GObjectPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  GObjectPtr& operator=(GObjectPtr&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.p_, nullptr));
    return *this;
  }
  GObjectPtr(const GObjectPtr&) = delete;
  GObjectPtr& operator=(const GObjectPtr&) = delete;
  ~GObjectPtr() { Reset(); }

  // Adds a reference to a borrowed object.
  static GObjectPtr Share(T* borrowed) {
    if (borrowed) g_object_ref(borrowed);
    return GObjectPtr(borrowed);
  }

  T* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  void Reset(T* owned = nullptr) {
    if (T* old = std::exchange(p_, owned)) g_object_unref(old);
  }

 private:
  T* p_ = nullptr;
};

// Counts the bodies GMime creates while it parses one message and ends the
// parse early when there are too many: once `limit` is passed, the stream the
// parser reads from is bounded at its current position, so the parser meets
// the end of its input after the data it has already buffered.
struct PartBudget {
  int events = 0;
  int limit = 0;
  GMimeStream* stream = nullptr;  // borrowed; null once the parse is over
  bool exhausted = false;

  void Spend();
};

// A new memory stream over `bytes` (borrowed: the caller keeps it alive for
// the stream's lifetime and frees it afterwards). Each body content the
// parser cuts out of it is charged to `*budget` (borrowed; may be null).
GMimeStream* NewBudgetedStream(GByteArray* bytes, PartBudget* budget);

// Detaches the budget from a stream made by NewBudgetedStream.
void DetachBudget(GMimeStream* stream);

// Charges a Content-Type field seen by the parser to the PartBudget in
// `budget`; a GMimeParserHeaderRegexFunc.
void SpendOnHeader(GMimeParser* parser, const char* name, const char* value, gint64 offset,
                   gpointer budget);

}  // namespace vorn_mime
