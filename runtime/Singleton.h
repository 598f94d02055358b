// Process-wide singleton whose creation is guarded by one lock per type.
#pragma once

#include <atomic>
#include <mutex>

namespace ZORVANIK_COMMON {

// The instance is created on first use with T's default constructor and never deleted.
template <typename T>
class Singleton {
 public:
  virtual ~Singleton() = default;

  // Any thread. Creates the instance under the creation lock the first time.
  static T* GetInstance() {
    T* instance = s_instance.load(std::memory_order_acquire);
    if (instance != nullptr) {
      return instance;
    }
    std::lock_guard<std::mutex> lock(s_mutex);
    instance = s_instance.load(std::memory_order_relaxed);
    if (instance == nullptr) {
      instance = new T();
      s_instance.store(instance, std::memory_order_release);
    }
    return instance;
  }

 private:
  static inline std::atomic<T*> s_instance{nullptr};
  static inline std::mutex s_mutex;
};

}  // namespace ZORVANIK_COMMON
