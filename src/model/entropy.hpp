// Random bytes for order ids, drawn from the system's entropy source in
// blocks, so that most ids cost no system call. Each thread draws from a pool
// of its own. Bytes are wiped as they are handed out and when a thread ends,
// and a forked child discards its pool so that it never hands out bytes its
// parent also holds.
#pragma once
#include <cstddef>

namespace quorvane {

// Signature of getentropy(3); replaceable so tests can make the source fail.
// The pool asks a replacement for 4 KiB at a time.
using EntropySource = int (*)(void* buffer, std::size_t length);

// Fills `out` with `length` random bytes. Throws InternalFailure
// ("could not retrieve random bytes for uuid: ...") when the source fails.
void random_bytes(unsigned char* out, std::size_t length);

// The system's sources, with getentropy's contract: the getrandom system
// call (getentropy where there is none), and the kernel's generator in the
// vDSO, which fails with ENOSYS where there is none. The pool uses the vDSO's
// where it can.
int system_call_entropy(void* buffer, std::size_t length);
int vdso_entropy(void* buffer, std::size_t length);

// Installs another source (nullptr restores the system's) and empties the
// calling thread's pool; other threads use up what their pools hold first.
void set_entropy_source(EntropySource source);

}  // namespace quorvane
