#pragma once

#include <cstdint>
#include <utility>

namespace kf {

// Base of the engine's reference-counted objects (address records, peer objects, torrents, piece
// maps). The count starts at 1 for the creator. It is a plain integer: every user of one object is
// on the same task thread, and records shared between tasks are copied, not shared.
class TRefObject {
  public:
    TRefObject() = default;
    TRefObject(const TRefObject&) = delete;
    TRefObject& operator=(const TRefObject&) = delete;
    virtual ~TRefObject() = default;

    virtual TRefObject* AddRef() {
        ++count_;
        return this;
    }
    // Lowers the count; at zero the object deletes itself and 0 is answered.
    virtual int32_t Release() {
        if (--count_ == 0) {
            delete this;
            return 0;
        }
        return count_;
    }
    virtual int32_t RefCount() const { return count_; }

  private:
    int32_t count_ = 1;
};

// Owning handle on a TRefObject: holds one reference and releases it when it goes.
template <class T>
class RefPtr {
  public:
    RefPtr() = default;
    // Takes over the creator's reference of a freshly made object.
    static RefPtr Adopt(T* object) {
        RefPtr p;
        p.object_ = object;
        return p;
    }
    // Adds a reference of its own to an object somebody else holds.
    static RefPtr Share(T* object) {
        if (object != nullptr) {
            object->AddRef();
        }
        return Adopt(object);
    }
    template <class... Args>
    static RefPtr Make(Args&&... args) {
        return Adopt(new T(std::forward<Args>(args)...));
    }

    RefPtr(const RefPtr& other) : object_(other.object_) {
        if (object_ != nullptr) {
            object_->AddRef();
        }
    }
    RefPtr(RefPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    RefPtr& operator=(RefPtr other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~RefPtr() { reset(); }

    void reset() {
        if (object_ != nullptr) {
            std::exchange(object_, nullptr)->Release();
        }
    }
    T* get() const { return object_; }
    T* operator->() const { return object_; }
    T& operator*() const { return *object_; }
    explicit operator bool() const { return object_ != nullptr; }
    bool operator==(const RefPtr& other) const { return object_ == other.object_; }

  private:
    T* object_ = nullptr;
};

}  // namespace kf
