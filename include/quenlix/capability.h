// The capability query: host result objects, the callback and the exports.
#pragma once

#include "quenlix/abi.h"

namespace quenlix {

class ICapabilityTextField {
 public:
  virtual void Reserved0() = 0;
  virtual void SetText(const char* text) = 0;

 protected:
  ~ICapabilityTextField() = default;
};

class ICapabilityProperty {
 public:
  virtual void Reserved0() = 0;
  virtual void SetValue(const char* value) = 0;
  virtual void Reserved2() = 0;
  virtual void Reserved3() = 0;
  virtual void SetFlag(uint32_t flag) = 0;
  virtual void SetName(const char* name) = 0;
  virtual void SetReserved(uint32_t value) = 0;

 protected:
  ~ICapabilityProperty() = default;
};

class ICapabilityResolutionList {
 public:
  virtual void Reserved0() = 0;
  virtual void AddResolution(const char* name, uint32_t width, uint32_t height,
                             uint32_t frameIntervalMs) = 0;

 protected:
  ~ICapabilityResolutionList() = default;
};

class ICapabilityFrameRateList {
 public:
  virtual void Reserved0() = 0;
  virtual void SetDefaultInterval(uint32_t intervalMs) = 0;
  virtual void AddInterval(uint32_t intervalMs) = 0;

 protected:
  ~ICapabilityFrameRateList() = default;
};

// Capability ids given to SetCapability.
enum CapabilityId : uint32_t {
  kCapPropertiesRead = 0,
  kCapInputs = 2,
  kCapOutputs = 3,
  kCapAudio = 4,
  kCapMpeg4 = 6,
  kCapMjpeg = 7,
  kCapH264 = 8,
  kCapFlag11 = 11,
  kCapFlag12 = 12,
};

class ICapabilityResults {
 public:
  virtual void Reserved0() = 0;
  virtual void SetCapability(uint32_t id, uint32_t value) = 0;
  virtual void SetModelName(const char* name) = 0;
  // Fields 1 address, 2 port, 3 user name, 4 password.
  virtual ICapabilityTextField* GetConnectionField(uint32_t index) = 0;
  virtual void Reserved4() = 0;
  virtual ICapabilityProperty* AddProperty(uint32_t id) = 0;
  virtual ICapabilityResolutionList* GetResolutionList() = 0;
  virtual void Reserved7() = 0;
  virtual ICapabilityFrameRateList* GetFrameRateList(uint32_t which) = 0;

 protected:
  ~ICapabilityResults() = default;
};

// Called on the query thread.
class ICapabilityQueryCallback {
 public:
  virtual void Reserved0() = 0;
  virtual void Reserved1() = 0;
  virtual void OnQueryDone() = 0;
  virtual void OnQueryError(uint32_t level, const char* message) = 0;

 protected:
  ~ICapabilityQueryCallback() = default;
};

}  // namespace quenlix

extern "C" {
QUENLIX_EXPORT int32_t QUENLIX_CDECL
InitCapabilityQuery(quenlix::ICapabilityQueryCallback* callback, bool option);
QUENLIX_EXPORT int32_t QUENLIX_CDECL StartCapabilityQuery(const char* address, uint32_t port,
                                                          const char* userName,
                                                          const char* password,
                                                          quenlix::ICapabilityResults* results);
QUENLIX_EXPORT int32_t QUENLIX_CDECL TerminateCapabilityQuery();
QUENLIX_EXPORT int32_t QUENLIX_CDECL UninitCapabilityQuery();
}

using InitCapabilityQueryFn = int32_t(QUENLIX_CDECL*)(quenlix::ICapabilityQueryCallback*, bool);
using StartCapabilityQueryFn = int32_t(QUENLIX_CDECL*)(const char*, uint32_t, const char*,
                                                       const char*, quenlix::ICapabilityResults*);
using TerminateCapabilityQueryFn = int32_t(QUENLIX_CDECL*)();
using UninitCapabilityQueryFn = int32_t(QUENLIX_CDECL*)();
