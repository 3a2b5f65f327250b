// Conventions shared by every host-facing declaration.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define QUENLIX_CDECL __cdecl
#define QUENLIX_STDCALL __stdcall
#define QUENLIX_EXPORT
#else
#define QUENLIX_CDECL
#define QUENLIX_STDCALL
#define QUENLIX_EXPORT __attribute__((visibility("default")))
#endif

// Slot 0 of every interface that the driver implements. The host's compiler
// gives a virtual destructor a single slot, a deleting destructor that takes
// a flags word (bit 0: free the memory) and returns the object's address.
// GCC would give it two slots and move every later operation by one, so the
// slot is declared by hand, the same way in every build, and the C++
// destructor of the interface is kept out of the table. Objects are destroyed
// through this slot only.
#define QUENLIX_INTERFACE_DESTRUCTOR(Interface)             \
 public:                                                    \
  virtual void* DeletingDestructor(unsigned int flags) = 0; \
                                                            \
 protected:                                                 \
  ~Interface() = default;                                   \
                                                            \
 public:

// The one definition of slot 0 in a class that implements such interfaces.
// The class itself has an ordinary virtual destructor, so the most derived
// destructor runs.
#define QUENLIX_IMPLEMENTS_DESTRUCTOR()                   \
  void* DeletingDestructor(unsigned int flags) override { \
    return ::quenlix::DestroySelf(this, flags);           \
  }

namespace quenlix {

// Bit 1 of the flags asks the host compiler's array form (walk a count
// stored before the object, free from there). The driver hands out single
// objects only, so there is no such count: reading one would free a wrong
// address. The bit is ignored and the one object is destroyed, and freed when
// bit 0 asks for it.
template <class T>
void* DestroySelf(T* self, unsigned int flags) {
  if (flags & 1u) {
    delete self;
  } else {
    self->~T();
  }
  return self;
}

// Destroys an object through its slot-0 destructor; null does nothing.
template <class I>
void DestroyObject(I* object) {
  if (object != nullptr) object->DeletingDestructor(1u);
}

// Windows SYSTEMTIME, field for field.
struct SYSTEMTIME {
  uint16_t wYear;
  uint16_t wMonth;
  uint16_t wDayOfWeek;
  uint16_t wDay;
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
};

// Four-character codes: the first character is the lowest byte.
constexpr uint32_t MakeFourCC(char a, char b, char c, char d) {
  return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 |
         uint32_t(uint8_t(d)) << 24;
}

constexpr uint32_t kTypeJPEG = MakeFourCC('J', 'P', 'E', 'G');
constexpr uint32_t kTypeH264 = MakeFourCC('H', '2', '6', '4');
constexpr uint32_t kTypeI264 = MakeFourCC('I', '2', '6', '4');
constexpr uint32_t kTypeDIVX = MakeFourCC('D', 'I', 'V', 'X');
constexpr uint32_t kTypeDIVI = MakeFourCC('D', 'I', 'V', 'I');

}  // namespace quenlix
