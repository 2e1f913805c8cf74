#include "template_library.h"

namespace Template_Library {

void DLIL_Node_Base::Link_Before(DLIL_Node_Base* position) {
  prev = position->prev;
  next = position;
  position->prev->next = this;
  position->prev = this;
}

void DLIL_Node_Base::Unlink() {
  prev->next = next;
  next->prev = prev;
  prev = next = this;
}

HTSC_Node_Base::~HTSC_Node_Base() { Unlink(); }

HTSC_Node_String::HTSC_Node_String(const char* s) : key(s ? s : "") {}

HTSC_Node_String::~HTSC_Node_String() = default;

bool HTSC_Node_String::Match(HTSC_Node_Base* other) const {
  const auto* string_node = dynamic_cast<const HTSC_Node_String*>(other);
  return string_node != nullptr && string_node->key == key;
}

unsigned int HTSC_Node_String::Index(unsigned int buckets) const {
  // FNV-1a over the key's bytes.
  unsigned int hash = 2166136261u;
  for (unsigned char c : key) {
    hash ^= c;
    hash *= 16777619u;
  }
  return buckets == 0 ? 0 : hash % buckets;
}

HTSC_Table_Base::HTSC_Table_Base(unsigned int buckets)
    : bucket_count(buckets == 0 ? 1 : buckets), buckets(new DLIL_Node_Base[bucket_count]) {}

HTSC_Table_Base::~HTSC_Table_Base() {
  for (unsigned int b = 0; b < bucket_count; ++b) {
    DLIL_Node_Base& head = buckets[b];
    while (head.Is_Linked()) delete static_cast<HTSC_Node_Base*>(static_cast<DLIL_Node<HTSC_Node_Base>*>(head.next));
  }
  delete[] buckets;
}

void HTSC_Table_Base::Add(HTSC_Node_Base* node) {
  node->Unlink();
  node->Link_Before(&buckets[node->Index(bucket_count)]);
}

HTSC_Node_Base* HTSC_Table_Base::Find(HTSC_Node_Base& key) const {
  const DLIL_Node_Base& head = buckets[key.Index(bucket_count)];
  for (DLIL_Node_Base* link = head.next; link != &head; link = link->next) {
    auto* node = static_cast<HTSC_Node_Base*>(static_cast<DLIL_Node<HTSC_Node_Base>*>(link));
    if (node->Match(&key)) return node;
  }
  return nullptr;
}

}  // namespace Template_Library
