// A growable byte buffer in one block of the C heap (malloc/realloc). An
// encoder writes its output into one, and the boundary hands the block to
// the host as it is (released there with free()), so an encoded picture is
// never copied. Growth leaves new bytes uninitialised: memory the writer
// does not reach is never touched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "base/bytes.h"

namespace kd::base {

class HeapBytes {
 public:
  HeapBytes() = default;
  // `size` bytes, uninitialised.
  explicit HeapBytes(size_t size) { resize(size); }
  HeapBytes(HeapBytes&& other) noexcept { swap(other); }
  HeapBytes& operator=(HeapBytes&& other) noexcept {
    HeapBytes(std::move(other)).swap(*this);
    return *this;
  }
  HeapBytes(const HeapBytes&) = delete;
  HeapBytes& operator=(const HeapBytes&) = delete;
  ~HeapBytes() { std::free(data_); }

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  ByteView view() const { return ByteView(data_, size_); }
  Bytes toBytes() const { return Bytes(data_, data_ + size_); }

  // Room for `capacity` bytes without a move; throws std::bad_alloc.
  void reserve(size_t capacity) {
    if (capacity <= capacity_) return;
    void* p = std::realloc(data_, capacity);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(p);
    capacity_ = capacity;
  }
  // Grows (new bytes uninitialised) or shrinks the contents.
  void resize(size_t size) {
    if (size > capacity_) reserve(size);
    size_ = size;
  }
  // Grows to at least `size`, doubling the room so that appends stay linear.
  void growTo(size_t size) {
    if (size > capacity_) reserve(size > capacity_ * 2 ? size : capacity_ * 2);
    size_ = size;
  }
  void append(const uint8_t* bytes, size_t n) {
    const size_t at = size_;
    growTo(size_ + n);
    if (n != 0) std::memcpy(data_ + at, bytes, n);
  }
  void append(ByteView bytes) { append(bytes.data(), bytes.size()); }
  void push_back(uint8_t b) { append(&b, 1); }

  // Gives the block to the caller (to be released with free()), cut to the
  // contents; a block is always returned, even for empty contents. Throws
  // std::bad_alloc when no block can be had.
  uint8_t* release() {
    if (data_ == nullptr) reserve(1);
    if (size_ != 0 && size_ < capacity_) {
      // Shrinking in place; a failure to shrink keeps the larger block.
      if (void* p = std::realloc(data_, size_)) data_ = static_cast<uint8_t*>(p);
    }
    uint8_t* out = data_;
    data_ = nullptr;
    size_ = capacity_ = 0;
    return out;
  }

 private:
  void swap(HeapBytes& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace kd::base
