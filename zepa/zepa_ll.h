// SPDX-License-Identifier: GPL-2.0-or-later
// zepa_ll -- a singly linked list of fixed-size records held by value.
//
// Each list object carries its own table of nine operation pointers; users
// call them through the object, passing the object first:
//     list.l_Add(&list, &record);
// Each node is two heap blocks: the node and its NodeSize-byte record. The
// list owns both; it never follows pointers stored inside records.
// Positions count from 0 at `first`, in insertion order.
#pragma once

#include <cstddef>
#include <cstdint>

struct zepa_link_node {
  void *ptr;             // the record, NodeSize bytes in a block of its own
  zepa_link_node *next;  // null at the tail
};

struct zepa_link {
  zepa_link_node *first;  // null when empty
  uint32_t NodeSize;      // record size, never 0
  uint32_t count;         // number of nodes

  // 1 appended (NodeSize bytes copied from Node), 0 out of memory (unchanged).
  int (*l_Add)(zepa_link *Obj, const void *Node);
  // 1 deleted the first record byte-equal to Node, 0 no match.
  int (*l_Del)(zepa_link *Obj, const void *Node);
  // 1 deleted the node at Pos, 0 no such position.
  int (*l_DelByPos)(zepa_link *Obj, uint32_t Pos);
  // Deletes every node through the object's own l_DelByPos.
  void (*l_DelAll)(zepa_link *Obj);
  // The number of nodes.
  uint32_t (*l_Count)(zepa_link *Obj);
  // 1 found (position of the first equal record stored in *Pos when Pos is
  // not null), 0 not found (*Pos untouched).
  int (*l_Find)(zepa_link *Obj, const void *Node, uint32_t *Pos);
  // Copies Node over the record at Pos; nothing when Pos >= count.
  void (*l_Set)(zepa_link *Obj, uint32_t Pos, const void *Node);
  // Copies the record at Pos into Node; writes nothing when Pos >= count.
  void (*l_Get)(zepa_link *Obj, uint32_t Pos, void *Node);
  // The record size.
  uint32_t (*l_NodeSize)(zepa_link *Obj);
};

static_assert(offsetof(zepa_link, l_Add) == sizeof(void *) + 2 * sizeof(uint32_t));
static_assert(offsetof(zepa_link, l_NodeSize) == offsetof(zepa_link, l_Add) + 8 * sizeof(void *));
static_assert(sizeof(zepa_link) == offsetof(zepa_link, l_Add) + 9 * sizeof(void *));

// Empties the object (without freeing: owners call l_DelAll first), stores
// NodeSize and fills the nine pointers.
void zepa_link_ptrs_init(zepa_link *Obj, uint32_t NodeSize);
