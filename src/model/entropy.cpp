#include "model/entropy.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "model/failure.hpp"

namespace quorvane {
namespace {

// getentropy refuses requests above 256 bytes.
constexpr std::size_t kPoolSize = 256;

// One pool per thread: threads never share bytes, and drawing needs no lock.
struct Pool {
  unsigned char bytes[kPoolSize];
  std::size_t used = kPoolSize;  // everything before `used` is spent (and zeroed)

  ~Pool() { explicit_bzero(bytes, sizeof bytes); }  // a finished thread leaves no unused bytes behind
  void discard() {
    std::memset(bytes, 0, sizeof bytes);
    used = kPoolSize;
  }
};

thread_local Pool pool;
std::atomic<EntropySource> source{nullptr};

// Only the forking thread lives on in the child, so its pool is the only
// one the child could draw from.
void discard_in_child() { pool.discard(); }

struct ForkHook {
  ForkHook() { pthread_atfork(nullptr, nullptr, discard_in_child); }
};
const ForkHook fork_hook;

[[noreturn]] void fail(int error) {
  throw InternalFailure(std::string("could not retrieve random bytes for uuid: ") + std::strerror(error) +
                        " (os error " + std::to_string(error) + ")");
}

void refill() {
  const EntropySource replacement = source.load(std::memory_order_acquire);
  int rc = replacement ? replacement(pool.bytes, kPoolSize) : getentropy(pool.bytes, kPoolSize);
  if (rc != 0) {
    int error = errno;
    pool.discard();
    fail(error ? error : EIO);
  }
  pool.used = 0;
}

}  // namespace

void random_bytes(unsigned char* out, std::size_t length) {
  while (length > 0) {
    if (pool.used == kPoolSize) refill();
    std::size_t take = std::min(length, kPoolSize - pool.used);
    std::memcpy(out, pool.bytes + pool.used, take);
    std::memset(pool.bytes + pool.used, 0, take);
    pool.used += take;
    out += take;
    length -= take;
  }
}

void set_entropy_source(EntropySource replacement) {
  source.store(replacement, std::memory_order_release);
  pool.discard();
}

}  // namespace quorvane
