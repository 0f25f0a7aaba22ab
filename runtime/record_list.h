// RecordList<T>: an ordered list that owns its records.
//
// Records are appended at the tail and found by zero-based position in
// constant time. A position that is negative or not below the count finds
// nothing. DeleteAll deletes every record exactly once and empties the list;
// RemoveAll empties the list and hands the records to the caller.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <vector>

template <class T>
class RecordList {
 public:
  using iterator = typename std::vector<std::unique_ptr<T>>::const_iterator;

  // `blockSize` is how many slots the list grows by at first; growth is
  // geometric afterwards.
  explicit RecordList(int blockSize = 10) : blockSize_(blockSize > 0 ? blockSize : 1) {}
  RecordList(const RecordList&) = delete;
  RecordList& operator=(const RecordList&) = delete;

  // Appends `record` and returns it, or returns null (and deletes the record)
  // when the list cannot grow. A null record is refused.
  T* AddTail(std::unique_ptr<T> record) noexcept {
    if (!record) return nullptr;
    try {
      if (records_.size() == records_.capacity() && records_.empty()) {
        records_.reserve(static_cast<size_t>(blockSize_));
      }
      records_.push_back(std::move(record));
    } catch (const std::bad_alloc&) {
      return nullptr;
    } catch (const std::length_error&) {
      return nullptr;
    }
    return records_.back().get();
  }

  // The record at `index`, or null when the index is outside the list.
  T* FindIndex(int64_t index) const {
    if (index < 0 || static_cast<uint64_t>(index) >= records_.size()) return nullptr;
    return records_[static_cast<size_t>(index)].get();
  }

  int32_t GetCount() const { return static_cast<int32_t>(records_.size()); }
  bool IsEmpty() const { return records_.empty(); }

  // Walk from head to tail; each element is a std::unique_ptr<T>.
  iterator begin() const { return records_.begin(); }
  iterator end() const { return records_.end(); }

  // Deletes every record, then empties the list.
  void DeleteAll() {
    std::vector<std::unique_ptr<T>> doomed;
    doomed.swap(records_);
    doomed.clear();
  }

  // Empties the list without deleting anything; the caller owns the records.
  std::vector<std::unique_ptr<T>> RemoveAll() {
    std::vector<std::unique_ptr<T>> taken;
    taken.swap(records_);
    return taken;
  }

 private:
  int blockSize_;
  std::vector<std::unique_ptr<T>> records_;
};
