// Frame nodes and the intrusive lists that hold them. Each frame is one
// allocation: the node head followed by the frame's bytes. Frames move
// between lists by relinking, never by copying.
#pragma once

#include <torvi/torvi_frame_hdr.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace torvi::stream {

struct FrameNode {
  FrameNode *next = nullptr;
  FrameNode *prev = nullptr;
  torvi_frame_hdr_t rec{};
  uint32_t filled = 0;
  uint32_t capacity = 0;

  uint8_t *data() { return reinterpret_cast<uint8_t *>(this + 1); }
  const uint8_t *data() const { return reinterpret_cast<const uint8_t *>(this + 1); }
  bool full() const { return filled == capacity; }
};

struct FrameNodeFree {
  void operator()(FrameNode *n) const;
};
using NodePtr = std::unique_ptr<FrameNode, FrameNodeFree>;

// Bytes of one allocation besides the frame's bytes.
inline constexpr std::size_t kNodeHead = sizeof(FrameNode);

// Allocates a node for `rec.frlen` bytes; null when memory runs out.
NodePtr make_node(const torvi_frame_hdr_t &rec);

class FrameList {
 public:
  FrameList() = default;
  FrameList(const FrameList &) = delete;
  FrameList &operator=(const FrameList &) = delete;
  ~FrameList() { clear(); }

  bool empty() const { return head_ == nullptr; }
  std::size_t size() const { return size_; }
  FrameNode *front() const { return head_; }
  FrameNode *back() const { return tail_; }

  void push_back(NodePtr n);
  NodePtr pop_front();
  NodePtr pop_back();
  // Moves every node of `other` to the end of this list.
  void splice_back(FrameList &other);
  // Moves the first k nodes of this list to the end of `out`.
  void move_front(std::size_t k, FrameList &out);
  void clear();

 private:
  FrameNode *head_ = nullptr;
  FrameNode *tail_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace torvi::stream
