// One named POSIX shared-memory object that a module creates or opens, maps,
// unmaps and removes (the user TCP areas, the response record).
#pragma once

#include <cstdint>
#include <string>

namespace VeloFramework {

// Result of SharedMem::CreateShm and SharedMem::GetShm.
typedef enum : uint32_t {
  SHM_SUCCESS = 0,
  SHM_OPEN_FAIL = 1,
  FTRUNCATE_FAIL = 2,
  MMAP_FAIL = 3,
} _STATUS_CODE;

class SharedMem {
 public:
  // Stores the name (with its leading '/') and the size; opens nothing.
  SharedMem(std::string name, int32_t size);
  // Closes a descriptor still open; never unmaps or removes the object.
  ~SharedMem();

  SharedMem(const SharedMem&) = delete;
  SharedMem& operator=(const SharedMem&) = delete;

  // Creates the object (or opens an existing one) with permissions 0660,
  // sizes it to `size` bytes and maps it read/write into *p.
  // SHM_OPEN_FAIL: nothing created, *p unchanged. FTRUNCATE_FAIL / MMAP_FAIL:
  // the name is removed again (FreeShm), *p unchanged.
  _STATUS_CODE CreateShm(void** p);

  // Opens an existing object and maps `size` bytes of it into *p.
  // SHM_OPEN_FAIL when it does not exist, MMAP_FAIL when it cannot be mapped
  // (for example when it is smaller than `size`); *p unchanged then.
  _STATUS_CODE GetShm(void** p);

  // Unmaps `size` bytes at *p; true on success. *p is left as it is.
  bool UnMapShm(void** p);

  // Removes the name; true on success. Existing mappings stay valid.
  bool FreeShm();

 private:
  int mFdShm;            // descriptor of the last open; -1 when closed
  char mShmBuf[256];     // held by the object; no operation uses it
  std::string mShmName;  // object name, with the leading '/'
  int32_t mSize;         // bytes used for truncation and mapping
};

}  // namespace VeloFramework
