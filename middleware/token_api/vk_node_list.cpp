#include "token_api/vk_node_list.h"

#include <new>

vk_node_list::~vk_node_list() { remove_all(); }

int vk_node_list::add(void* payload) {
  vk_node* n = new (std::nothrow) vk_node;
  if (!n) return -1;
  n->data = payload;
  if (!head_) {
    head_ = n;
  } else {
    get_tail()->next = n;
  }
  return get_count();
}

int vk_node_list::remove(void* payload) {
  vk_node** link = &head_;
  for (vk_node* n = head_; n; n = n->next) {
    if (n->data == payload) {
      *link = n->next;
      delete n;
      return 0;
    }
    link = &n->next;
  }
  return 1;
}

void vk_node_list::remove_all() {
  vk_node* n = head_;
  head_ = nullptr;
  while (n) {
    vk_node* next = n->next;
    delete n;
    n = next;
  }
}

vk_node* vk_node_list::get_tail() const {
  vk_node* n = head_;
  while (n && n->next) n = n->next;
  return n;
}

int vk_node_list::get_count() const {
  int c = 0;
  for (vk_node* n = head_; n; n = n->next) ++c;
  return c;
}
