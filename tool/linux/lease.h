// SPDX-License-Identifier: MIT
// A read lease on the file being replaced, so that no writer's change is lost to the replacement.
// The kernel refuses a read lease on a file that is open for writing anywhere, and breaks it when
// anyone opens the file for writing or truncates it, telling the holder with SIGIO and holding the
// writer back until the lease is given up (for up to /proc/sys/fs/lease-break-time seconds). This
// class's handler gives the lease back at once, so that no writer waits on it, and remembers that
// it was broken, so that the replacement is abandoned. It does not see a change of metadata alone,
// which breaks no lease.
//
// One lease at a time in a process: the handler's state is this class's alone.

#ifndef XORSCRAMBLE_LINUX_LEASE_H_
#define XORSCRAMBLE_LINUX_LEASE_H_

class Lease {
 public:
  enum class Taken {
    kHeld,            // from now on, any writer is seen
    kOpenForWriting,  // another program has the file open for writing
    kUnavailable,     // the caller may not (neither the file's owner nor holding CAP_LEASE), or
                      // the file system has no leases
  };

  Lease() = default;
  // Gives the lease back, if it is still held.
  ~Lease();
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;

  // Takes a read lease on the regular file open, for reading only, on `fd`, which must stay open
  // while the lease is held.
  Taken Take(int fd);

  // Whether the lease is held and has been broken since: a writer opened the file.
  bool Broken() const;

  // Gives the lease back now, before its file is closed.
  void Release();

 private:
  bool held_ = false;
};

#endif  // XORSCRAMBLE_LINUX_LEASE_H_
