#include "stream/frame_list.h"

#include <cstdlib>
#include <new>

#include "core/test_hooks.h"

namespace torvi::stream {
namespace {

static_assert(kNodeHead % 8 == 0, "frame bytes start on an 8-byte boundary");

}  // namespace

void FrameNodeFree::operator()(FrameNode *n) const {
  if (n == nullptr) return;
  n->~FrameNode();
  // The node head and the frame bytes are one block; NodePtr owns it.
  std::free(n);  // NOLINT(cppcoreguidelines-no-malloc)
}

NodePtr make_node(const torvi_frame_hdr_t &rec) {
  const std::size_t bytes = kNodeHead + rec.frlen;
  if (bytes > static_cast<uint64_t>(hooks::get(hooks::Knob::kStreamNodeAllocLimit))) return nullptr;
  // One block for the head and the frame bytes, owned by NodePtr at once;
  // malloc reports failure by null, which the parser handles.
  void *mem = std::malloc(bytes);  // NOLINT(cppcoreguidelines-no-malloc)
  if (mem == nullptr) return nullptr;
  NodePtr n(new (mem) FrameNode);
  n->rec = rec;
  n->capacity = rec.frlen;
  return n;
}

void FrameList::push_back(NodePtr n) {
  FrameNode *p = n.release();
  p->next = nullptr;
  p->prev = tail_;
  if (tail_ != nullptr) {
    tail_->next = p;
  } else {
    head_ = p;
  }
  tail_ = p;
  ++size_;
}

NodePtr FrameList::pop_front() {
  FrameNode *p = head_;
  if (p == nullptr) return nullptr;
  head_ = p->next;
  if (head_ != nullptr) {
    head_->prev = nullptr;
  } else {
    tail_ = nullptr;
  }
  --size_;
  p->next = p->prev = nullptr;
  return NodePtr(p);
}

NodePtr FrameList::pop_back() {
  FrameNode *p = tail_;
  if (p == nullptr) return nullptr;
  tail_ = p->prev;
  if (tail_ != nullptr) {
    tail_->next = nullptr;
  } else {
    head_ = nullptr;
  }
  --size_;
  p->next = p->prev = nullptr;
  return NodePtr(p);
}

void FrameList::splice_back(FrameList &other) {
  if (other.head_ == nullptr) return;
  if (tail_ != nullptr) {
    tail_->next = other.head_;
    other.head_->prev = tail_;
  } else {
    head_ = other.head_;
  }
  tail_ = other.tail_;
  size_ += other.size_;
  other.head_ = other.tail_ = nullptr;
  other.size_ = 0;
}

void FrameList::move_front(std::size_t k, FrameList &out) {
  for (std::size_t i = 0; i < k && head_ != nullptr; ++i) out.push_back(pop_front());
}

void FrameList::clear() {
  while (head_ != nullptr) pop_front();
}

}  // namespace torvi::stream
