#include "Sharedmem.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <utility>

namespace VeloFramework {

namespace {

// Maps `size` bytes of `fd` read/write and shared; MAP_FAILED on failure.
void* MapShared(int fd, int32_t size) {
  if (size <= 0) return MAP_FAILED;
  return mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
}

// A mapping of more bytes than the object holds would fault on access.
bool ObjectHoldsAtLeast(int fd, int32_t size) {
  struct stat st;
  return fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(size);
}

}  // namespace

SharedMem::SharedMem(std::string name, int32_t size)
    : mFdShm(-1), mShmBuf(), mShmName(std::move(name)), mSize(size) {}

SharedMem::~SharedMem() {
  if (mFdShm >= 0) close(mFdShm);
}

_STATUS_CODE SharedMem::CreateShm(void** p) {
  if (mFdShm >= 0) close(mFdShm);
  mFdShm = shm_open(mShmName.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0660);
  if (mFdShm < 0) return SHM_OPEN_FAIL;
  if (mSize < 0 || ftruncate(mFdShm, mSize) != 0) {
    close(mFdShm);
    mFdShm = -1;
    FreeShm();
    return FTRUNCATE_FAIL;
  }
  void* addr = MapShared(mFdShm, mSize);
  // The mapping stays valid without the descriptor.
  close(mFdShm);
  mFdShm = -1;
  if (addr == MAP_FAILED) {
    FreeShm();
    return MMAP_FAIL;
  }
  *p = addr;
  return SHM_SUCCESS;
}

_STATUS_CODE SharedMem::GetShm(void** p) {
  if (mFdShm >= 0) close(mFdShm);
  mFdShm = shm_open(mShmName.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (mFdShm < 0) return SHM_OPEN_FAIL;
  void* addr = ObjectHoldsAtLeast(mFdShm, mSize) ? MapShared(mFdShm, mSize) : MAP_FAILED;
  close(mFdShm);
  mFdShm = -1;
  if (addr == MAP_FAILED) return MMAP_FAIL;
  *p = addr;
  return SHM_SUCCESS;
}

bool SharedMem::UnMapShm(void** p) {
  if (p == nullptr || *p == nullptr || mSize <= 0) return false;
  return munmap(*p, static_cast<size_t>(mSize)) == 0;
}

bool SharedMem::FreeShm() {
  return shm_unlink(mShmName.c_str()) == 0;
}

}  // namespace VeloFramework
