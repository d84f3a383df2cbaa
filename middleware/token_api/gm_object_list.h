// An owning list of token API objects on top of vk_node_list: adding hands
// the object to the list, removing or clearing destroys it through its
// virtual destructor. One first/next cursor per list; the searches below do
// not use it, so a search never disturbs a caller's iteration.
#pragma once

#include "token_api/vk_node_list.h"

template <class T>
class gm_object_list {
 public:
  gm_object_list() = default;
  ~gm_object_list() { clear(); }
  gm_object_list(const gm_object_list&) = delete;
  gm_object_list& operator=(const gm_object_list&) = delete;

  // Takes ownership; false (the object still belongs to the caller) when no
  // node can be allocated.
  bool add(T* obj) { return obj && list_.add(obj) >= 0; }

  // Destroys `obj` and unlinks it: 0; 1 when it is not in this list.
  int remove(T* obj) {
    if (!obj || !contains(obj)) return 1;
    if (cursor_ && cursor_->data == obj) cursor_ = nullptr;
    list_.remove(obj);
    delete obj;
    return 0;
  }

  // Destroys every object, then frees every node.
  void clear() {
    for (vk_node* n = list_.get_head(); n; n = n->next) delete static_cast<T*>(n->data);
    list_.remove_all();
    cursor_ = nullptr;
  }

  T* first() {
    cursor_ = list_.get_head();
    return cursor_ ? static_cast<T*>(cursor_->data) : nullptr;
  }
  // Null at the end, or when the current object was removed meanwhile.
  T* next() {
    if (cursor_) cursor_ = cursor_->next;
    return cursor_ ? static_cast<T*>(cursor_->data) : nullptr;
  }

  // Searches and walks in list order, without the cursor.
  template <class Pred>
  T* find_if(Pred pred) const {
    for (vk_node* n = list_.get_head(); n; n = n->next)
      if (pred(static_cast<T*>(n->data))) return static_cast<T*>(n->data);
    return nullptr;
  }
  template <class Fn>
  void for_each(Fn fn) const {
    for (vk_node* n = list_.get_head(); n; n = n->next) fn(static_cast<T*>(n->data));
  }
  bool contains(const T* obj) const {
    return find_if([obj](T* o) { return o == obj; }) != nullptr;
  }
  int count() const { return list_.get_count(); }
  bool empty() const { return list_.get_head() == nullptr; }

 private:
  vk_node_list list_;
  vk_node* cursor_ = nullptr;
};
