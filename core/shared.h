// Shared ownership with an atomic holder count kept inside the owned object.
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>

namespace jadefox {

// Base of every object held through `Shared`: its holder count. A new object
// starts with one holder, the `Shared` that adopts it.
class HolderCount {
public:
    HolderCount() noexcept = default;
    HolderCount(const HolderCount&) = delete;
    HolderCount& operator=(const HolderCount&) = delete;

    std::size_t holders() const noexcept { return holder_count_.load(std::memory_order_acquire); }

private:
    template <class T>
    friend class Shared;
    std::atomic<std::size_t> holder_count_{1};
};

// An owning handle. Copying is explicit (`share`) so that every extra hold is
// visible in the code; moving transfers the hold. `T::destroy(T*)` frees the
// object when its last holder lets go.
template <class T>
class Shared {
public:
    Shared() noexcept = default;
    // Adopts a new object, taking over its initial hold.
    explicit Shared(T* adopted) noexcept : ptr_(adopted) {}
    Shared(Shared&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Shared& operator=(Shared&& other) noexcept {
        if (this != &other) {
            reset();
            ptr_ = std::exchange(other.ptr_, nullptr);
        }
        return *this;
    }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    ~Shared() { reset(); }

    // One more hold on the same object.
    Shared share() const noexcept {
        // Relaxed suffices: the caller already holds the object, so it
        // cannot be freed concurrently (the usual reference-count argument).
        ptr_->holder_count_.fetch_add(1, std::memory_order_relaxed);
        return Shared(ptr_);
    }

    // Gives up this hold; the last holder frees the object.
    void reset() noexcept {
        if (T* p = std::exchange(ptr_, nullptr)) {
            if (p->holder_count_.fetch_sub(1, std::memory_order_acq_rel) == 1) T::destroy(p);
        }
    }

    // True when this handle is the only holder. The count is claimed by
    // swapping 1 for 0, so no other thread can take a hold (which needs a
    // holder to copy from, and that holder would make the count above 1)
    // while the decision is made; 1 is put back afterwards. The caller must
    // own this handle exclusively (it is about to write through it), so no
    // share can be taken from the handle itself meanwhile.
    bool is_sole_holder() const noexcept {
        std::size_t expected = 1;
        if (!ptr_->holder_count_.compare_exchange_strong(expected, 0, std::memory_order_acquire,
                                                         std::memory_order_relaxed)) {
            return false;
        }
        ptr_->holder_count_.store(1, std::memory_order_release);
        return true;
    }

    T* get() const noexcept { return ptr_; }
    T& operator*() const noexcept { return *ptr_; }
    T* operator->() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    T* ptr_ = nullptr;
};

}  // namespace jadefox
