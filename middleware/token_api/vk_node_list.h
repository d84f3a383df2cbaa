// The middleware's singly linked pointer list. A list owns its nodes, never
// the payloads: removing a node or clearing the list leaves the payloads
// alone (owning lists built on it destroy them themselves).
#pragma once

struct vk_node {
  void* data = nullptr;
  vk_node* next = nullptr;
};

class vk_node_list {
 public:
  vk_node_list() = default;
  virtual ~vk_node_list();
  vk_node_list(const vk_node_list&) = delete;
  vk_node_list& operator=(const vk_node_list&) = delete;

  // Appends a node at the tail; the new count, or -1 (list unchanged) when
  // no node can be allocated.
  int add(void* payload);
  // Unlinks and frees the first node whose payload equals `payload`: 0; 1
  // when no node matches (an empty list included).
  int remove(void* payload);
  // Frees every node (not the payloads).
  void remove_all();

  vk_node* get_head() const { return head_; }
  vk_node* get_tail() const;
  int get_count() const;

 private:
  vk_node* head_ = nullptr;
};
