#pragma once
// The one collection of the system: a circular doubly linked list with a
// cursor, holding its values by value. A list of pointers does not own the
// pointed-to objects. The list has no lock; owners that share one guard it.

#include <cstddef>
#include <iterator>
#include <string>
#include <type_traits>
#include <utility>

template <typename T>
class Dll;

template <typename T>
class DllNode {
public:
    explicit DllNode(const T& value) : value_(value) {}
    virtual ~DllNode() { Destroy(false); }
    DllNode(const DllNode&) = delete;
    DllNode& operator=(const DllNode&) = delete;

    // Unlinks the node's pointers; the value goes with the node.
    virtual void Destroy(bool /*free*/) {
        next_ = nullptr;
        prev_ = nullptr;
    }

    T& Value() { return value_; }
    const T& Value() const { return value_; }
    Dll<T>* Owner() const { return owner_; }
    DllNode* Next() const { return next_; }
    DllNode* Prev() const { return prev_; }

private:
    friend class Dll<T>;
    T value_;
    Dll<T>* owner_ = nullptr;
    DllNode* next_ = this;
    DllNode* prev_ = this;
};

// A forward walk from head over count nodes, so that range-for reads a list in
// one pass (an index loop over GetAt walks from head for every element).
template <typename T, typename Ref>
class DllIterator {
public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = std::remove_reference_t<Ref>*;
    using reference = Ref;

    DllIterator() = default;
    DllIterator(DllNode<T>* node, int left) : node_(node), left_(left) {}

    Ref operator*() const { return node_->Value(); }
    pointer operator->() const { return &node_->Value(); }
    DllIterator& operator++() {
        node_ = --left_ > 0 ? node_->Next() : nullptr;
        return *this;
    }
    DllIterator operator++(int) {
        DllIterator before = *this;
        ++*this;
        return before;
    }
    bool operator==(const DllIterator& other) const { return left_ == other.left_; }

private:
    DllNode<T>* node_ = nullptr;
    int left_ = 0;
};

template <typename T>
class Dll {
public:
    using Node = DllNode<T>;
    using iterator = DllIterator<T, T&>;
    using const_iterator = DllIterator<T, const T&>;

    iterator begin() { return iterator(head_, count_); }
    iterator end() { return iterator(); }
    const_iterator begin() const { return const_iterator(head_, count_); }
    const_iterator end() const { return const_iterator(); }

    explicit Dll(std::string name = {}) : name_(std::move(name)) {}
    Dll(const Dll& other) { Assign(other); }
    Dll& operator=(const Dll& other) {
        Assign(other);
        return *this;
    }
    virtual ~Dll() { RemoveAll(); }

    // Appends a copy of value after the tail; the cursor moves to it only when it had none.
    Node* AddTailNode(const T& value) {
        Node* node = NewNode(value);
        if (head_ == nullptr) {
            head_ = node;
        } else {
            Node* tail = head_->prev_;
            node->prev_ = tail;
            node->next_ = head_;
            tail->next_ = node;
            head_->prev_ = node;
        }
        node->owner_ = this;
        ++count_;
        if (cursor_ == nullptr) cursor_ = node;
        return node;
    }
    void AddTail(const T& value) { AddTailNode(value); }
    T AddTailValue(const T& value) { return AddTailNode(value)->value_; }

    // Unlinks node (which must belong to this list) and returns its value.
    T RemoveNode(Node* node) {
        if (cursor_ == node) cursor_ = node->next_ == node ? nullptr : node->next_;
        if (head_ == node) head_ = node->next_;
        node->prev_->next_ = node->next_;
        node->next_->prev_ = node->prev_;
        node->owner_ = nullptr;
        if (--count_ == 0) {
            head_ = nullptr;
            cursor_ = nullptr;
        }
        T value = std::move(node->value_);
        DeleteNode(node);
        return value;
    }

    Node* FindNode(const T& value) const {
        Node* node = head_;
        for (int i = 0; i < count_; ++i, node = node->next_)
            if (node->value_ == value) return node;
        return nullptr;
    }

    // Walks index steps from head; callers keep 0 <= index < count. An empty
    // list answers a default value rather than following a null head.
    T GetAt(int index) const {
        Node* node = NodeAt(index);
        return node != nullptr ? node->value_ : T{};
    }
    Node* NodeAt(int index) const {
        Node* node = head_;
        for (int i = 0; node != nullptr && i < index; ++i) node = node->next_;
        return node;
    }

    // Makes this list hold other's values in order, reusing nodes, and puts the
    // cursor at the index other's cursor has.
    void Assign(const Dll& other) {
        if (&other == this) return;
        name_ = other.name_;
        Node* mine = head_;
        Node* theirs = other.head_;
        int i = 0;
        for (; i < count_ && i < other.count_; ++i) {
            mine->value_ = theirs->value_;
            mine = mine->next_;
            theirs = theirs->next_;
        }
        for (; i < other.count_; ++i, theirs = theirs->next_) AddTailNode(theirs->value_);
        while (count_ > other.count_) RemoveNode(head_->prev_);
        cursor_ = nullptr;
        if (other.cursor_ != nullptr) cursor_ = NodeAt(other.IndexOf(other.cursor_));
    }

    void RemoveAll() {
        cursor_ = head_;
        while (count_ > 0) RemoveNode(cursor_);
        name_.clear();
    }

    int GetCount() const { return count_; }
    bool IsEmpty() const { return count_ == 0; }
    Node* Head() const { return head_; }
    Node* Tail() const { return head_ != nullptr ? head_->prev_ : nullptr; }
    Node* Cursor() const { return cursor_; }
    void SetCursor(Node* node) { cursor_ = node; }
    const std::string& Name() const { return name_; }

    // Index of a node of this list from head, or -1.
    int IndexOf(const Node* target) const {
        Node* node = head_;
        for (int i = 0; i < count_; ++i, node = node->next_)
            if (node == target) return i;
        return -1;
    }

protected:
    virtual Node* NewNode(const T& value) { return new Node(value); }
    virtual void DeleteNode(Node* node) {
        node->Destroy(true);
        delete node;
    }

private:
    Node* cursor_ = nullptr;
    Node* head_ = nullptr;
    int count_ = 0;
    std::string name_;
};

// A walk over a list that can tell its first, last and past-the-end places.
template <typename T>
class DllPosition {
public:
    using Node = DllNode<T>;

    explicit DllPosition(const Dll<T>& list) : list_(&list), node_(list.Head()), atEnd_(list.Head() == nullptr) {}

    bool AtFirst() const { return node_ != nullptr && node_ == list_->Head() && !atEnd_; }
    bool AtLast() const { return node_ != nullptr && node_ == list_->Tail() && !atEnd_; }
    bool PastEnd() const { return node_ == nullptr && atEnd_; }

    void Advance() {
        if (list_->Head() == nullptr || atEnd_ || node_ == list_->Tail()) {
            atEnd_ = true;
            node_ = nullptr;
        } else {
            node_ = node_->Next();
        }
    }

    Node* GetNode() const { return node_; }
    T& Value() const { return node_->Value(); }

private:
    const Dll<T>* list_;
    Node* node_;
    bool atEnd_;
};
