// SPDX-License-Identifier: GPL-2.0-or-later
// zepa_ll -- the linked list of fixed-size records.
#include "zepa_ll.h"

#include <cstring>

#include "zepa_seams.h"

namespace {

constexpr char kModule[] = "zepa_ll";

using zepa::seam::alloc;
using zepa::seam::release;

// The last node, or null for an empty list.
zepa_link_node *i_findend(zepa_link *Obj) {
  ZEPA_ASSERT(Obj);
  zepa_link_node *currNode = Obj->first;
  while (currNode != nullptr && currNode->next != nullptr) currNode = currNode->next;
  return currNode;
}

// The first node whose record equals the bytes at Node; its position goes
// to *Pos when Pos is not null. Null when nothing matches.
zepa_link_node *i_findnode(zepa_link *Obj, const void *Node, uint32_t *Pos) {
  ZEPA_ASSERT(Obj);
  ZEPA_ASSERT(Node);
  uint32_t counter = 0;
  for (zepa_link_node *currNode = Obj->first; currNode != nullptr; currNode = currNode->next) {
    ZEPA_ASSERT(currNode->ptr);
    if (std::memcmp(currNode->ptr, Node, Obj->NodeSize) == 0) {
      if (Pos != nullptr) *Pos = counter;
      return currNode;
    }
    ++counter;
  }
  return nullptr;
}

// The node at Pos, or null when the chain ends first.
zepa_link_node *i_nodeat(zepa_link *Obj, uint32_t Pos) {
  ZEPA_ASSERT(Obj);
  zepa_link_node *currNode = Obj->first;
  for (uint32_t i = 0; i < Pos && currNode != nullptr; ++i) currNode = currNode->next;
  return currNode;
}

// A new unlinked node with an uninitialised record block, or null.
zepa_link_node *i_newnode(zepa_link *Obj) {
  ZEPA_ASSERT(Obj);
  auto *node = static_cast<zepa_link_node *>(alloc(sizeof(zepa_link_node)));
  if (node == nullptr) return nullptr;
  node->ptr = nullptr;
  node->next = nullptr;
  node->ptr = alloc(Obj->NodeSize);
  if (node->ptr == nullptr) {
    release(node);
    return nullptr;
  }
  return node;
}

// Unlinks `node` found at `Pos` and frees both of its blocks.
int i_unlink(zepa_link *Obj, zepa_link_node *node, uint32_t Pos) {
  if (Pos == 0) {
    Obj->first = node->next;
  } else {
    zepa_link_node *prevNode = i_nodeat(Obj, Pos - 1);
    ZEPA_ASSERT(prevNode);
#ifdef NDEBUG
    if (prevNode == nullptr) return 0;
#endif
    prevNode->next = node->next;
  }
  release(node->ptr);
  release(node);
  --Obj->count;
  return 1;
}

int l_Add(zepa_link *Obj, const void *Node) {
  ZEPA_ASSERT(Obj);
  zepa_link_node *tail = i_findend(Obj);
  zepa_link_node *node = i_newnode(Obj);
  if (node == nullptr) return 0;
  if (tail != nullptr) {
    tail->next = node;
  } else {
    Obj->first = node;
  }
  ++Obj->count;
  std::memcpy(node->ptr, Node, Obj->NodeSize);
  return 1;
}

int l_Del(zepa_link *Obj, const void *Node) {
  ZEPA_ASSERT(Obj);
  ZEPA_ASSERT(Node);
  uint32_t position = 0;
  zepa_link_node *node = i_findnode(Obj, Node, &position);
  if (node == nullptr) return 0;
  return i_unlink(Obj, node, position);
}

int l_DelByPos(zepa_link *Obj, uint32_t Pos) {
  ZEPA_ASSERT(Obj);
  zepa_link_node *node = Obj->first;
  for (uint32_t counter = 0; counter < Pos; ++counter) {
    if (node == nullptr) return 0;
    node = node->next;
  }
  if (node == nullptr) return 0;
  return i_unlink(Obj, node, Pos);
}

void l_DelAll(zepa_link *Obj) {
  ZEPA_ASSERT(Obj);
  while (Obj->count != 0) {
    if (Obj->l_DelByPos(Obj, 0) == 0) break;
  }
}

uint32_t l_Count(zepa_link *Obj) {
  ZEPA_ASSERT(Obj);
  return Obj->count;
}

int l_Find(zepa_link *Obj, const void *Node, uint32_t *Pos) {
  ZEPA_ASSERT(Obj);
  return i_findnode(Obj, Node, Pos) != nullptr ? 1 : 0;
}

void l_Set(zepa_link *Obj, uint32_t Pos, const void *Node) {
  ZEPA_ASSERT(Obj);
  ZEPA_ASSERT(Node);
  if (Pos >= Obj->count) return;
  zepa_link_node *node = i_nodeat(Obj, Pos);
  if (node != nullptr) std::memcpy(node->ptr, Node, Obj->NodeSize);
}

void l_Get(zepa_link *Obj, uint32_t Pos, void *Node) {
  ZEPA_ASSERT(Obj);
  ZEPA_ASSERT(Node);
  if (Pos >= Obj->count) return;
  zepa_link_node *node = i_nodeat(Obj, Pos);
  if (node != nullptr) std::memcpy(Node, node->ptr, Obj->NodeSize);
}

uint32_t l_NodeSize(zepa_link *Obj) {
  ZEPA_ASSERT(Obj);
  return Obj->NodeSize;
}

}  // namespace

void zepa_link_ptrs_init(zepa_link *Obj, uint32_t NodeSize) {
  ZEPA_ASSERT(Obj);
  ZEPA_ASSERT(NodeSize);
  *Obj = zepa_link{
      .first = nullptr,
      .NodeSize = NodeSize,
      .count = 0,
      .l_Add = l_Add,
      .l_Del = l_Del,
      .l_DelByPos = l_DelByPos,
      .l_DelAll = l_DelAll,
      .l_Count = l_Count,
      .l_Find = l_Find,
      .l_Set = l_Set,
      .l_Get = l_Get,
      .l_NodeSize = l_NodeSize,
  };
}
