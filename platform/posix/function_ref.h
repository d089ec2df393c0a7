// function_ref.h: FunctionRef, a reference to something callable (a lambda,
// mostly) that a function takes and calls before it returns. It neither
// copies nor allocates (std::function may allocate for a lambda's captures),
// so a function on a hot path can take a caller's lambda without being a
// template written in its header. Internal to platform/posix.
#ifndef AMBERCRYPT_PLATFORM_POSIX_FUNCTION_REF_H_
#define AMBERCRYPT_PLATFORM_POSIX_FUNCTION_REF_H_

#include <memory>
#include <type_traits>
#include <utility>

namespace ambercrypt::posix {

template <typename Signature>
class FunctionRef;

// Refers to f, which must outlive the FunctionRef: pass a lambda straight to
// the call that takes it.
template <typename R, typename... Args>
class FunctionRef<R(Args...)> {
 public:
  template <typename F, typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef> &&
                                                    std::is_invocable_r_v<R, F &, Args...>>>
  FunctionRef(F &&f) noexcept  // NOLINT: converts, as a lambda argument should
      : callable_(const_cast<void *>(static_cast<const void *>(std::addressof(f)))),
        call_([](void *callable, Args... args) -> R {
          return (*static_cast<std::remove_reference_t<F> *>(callable))(std::forward<Args>(args)...);
        }) {}

  R operator()(Args... args) const { return call_(callable_, std::forward<Args>(args)...); }

 private:
  void *callable_;
  R (*call_)(void *, Args...);
};

}  // namespace ambercrypt::posix

#endif  // AMBERCRYPT_PLATFORM_POSIX_FUNCTION_REF_H_
