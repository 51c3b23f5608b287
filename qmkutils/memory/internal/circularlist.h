// Intrusive circular doubly linked lists, as the allocators keep them.
// Internal.
#ifndef QMKUTILS_MEMORY_INTERNAL_CIRCULARLIST_H_
#define QMKUTILS_MEMORY_INTERNAL_CIRCULARLIST_H_

namespace du::circular {

template <class Node>
void MakeSingle(Node* node) {
  node->next = node->previous = node;
}

template <class Node>
void LinkAfter(Node* position, Node* node) {
  node->previous = position;
  node->next = position->next;
  position->next->previous = node;
  position->next = node;
}

template <class Node>
void Unlink(Node* node) {
  node->previous->next = node->next;
  node->next->previous = node->previous;
}

// Adds `node` to the list entered at `entry` (null: empty), as its entry.
template <class Node>
void PushFront(Node*& entry, Node* node) {
  if (entry == nullptr) {
    MakeSingle(node);
  } else {
    LinkAfter(entry->previous, node);
  }
  entry = node;
}

// Removes `node` from the list entered at `entry`; the entry moves on to the
// next node, or null when `node` was the only one.
template <class Node>
void Remove(Node*& entry, Node* node) {
  if (node->next == node) {
    entry = nullptr;
    return;
  }
  if (entry == node) entry = node->next;
  Unlink(node);
}

}  // namespace du::circular

#endif  // QMKUTILS_MEMORY_INTERNAL_CIRCULARLIST_H_
