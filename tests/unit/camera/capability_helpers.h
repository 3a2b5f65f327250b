// A host's results object that keeps what it is told, as a host would, and
// the simulated camera these tests ask.
#pragma once

#include <map>
#include <string>

#include "quenlix/capability.h"
#if QUENLIX_TEST_WITH_CAMSIM
#include "sim_camera.h"
#endif

namespace camtest {

struct HostField : quenlix::ICapabilityTextField {
  void Reserved0() override {}
  void SetText(const char* t) override { text = t; }
  std::string text;
};

struct HostProperty : quenlix::ICapabilityProperty {
  void Reserved0() override {}
  void SetValue(const char* v) override { value = v; }
  void Reserved2() override {}
  void Reserved3() override {}
  void SetFlag(uint32_t f) override { flag = f; }
  void SetName(const char* n) override { name = n; }
  void SetReserved(uint32_t r) override { reserved = r; }
  std::string name, value;
  uint32_t flag = 99, reserved = 99;
};

class HostResults : public quenlix::ICapabilityResults,
                    quenlix::ICapabilityResolutionList,
                    quenlix::ICapabilityFrameRateList {
 public:
  void Reserved0() override {}
  void SetCapability(uint32_t id, uint32_t value) override { caps.emplace(id, value); }
  void SetModelName(const char* name) override { model = name; }
  quenlix::ICapabilityTextField* GetConnectionField(uint32_t i) override { return &fields[i]; }
  void Reserved4() override {}
  quenlix::ICapabilityProperty* AddProperty(uint32_t id) override { return &properties[id]; }
  quenlix::ICapabilityResolutionList* GetResolutionList() override { return this; }
  void Reserved7() override {}
  quenlix::ICapabilityFrameRateList* GetFrameRateList(uint32_t which) override {
    rateList = which;
    return this;
  }
  void AddResolution(const char* name, uint32_t w, uint32_t h, uint32_t ms) override {
    sizes += " " + std::string(name) + "=" + std::to_string(w) + "x" + std::to_string(h) + "/" +
             std::to_string(ms);
  }
  void SetDefaultInterval(uint32_t ms) override { defaultInterval = ms; }
  void AddInterval(uint32_t ms) override { intervals += " " + std::to_string(ms); }

  // Everything the host was told, one kind a line; capabilities by id, each
  // value as often as it was given.
  std::string Summary() const {
    std::string s = "model " + model + "\ncaps";
    for (auto& c : caps) s += " " + std::to_string(c.first) + "=" + std::to_string(c.second);
    s += "\nsizes" + sizes + "\nrates" + intervals + " default " + std::to_string(defaultInterval) +
         " list " + std::to_string(rateList) + "\nfields";
    for (auto& f : fields) s += " " + std::to_string(f.first) + ":" + f.second.text;
    for (auto& p : properties) {
      s += "\n" + std::to_string(p.first) + " " + p.second.name + "=" + p.second.value + " [" +
           std::to_string(p.second.flag) + " " + std::to_string(p.second.reserved) + "]";
    }
    return s;
  }

  std::multimap<uint32_t, uint32_t> caps;
  std::string model, sizes, intervals;
  uint32_t defaultInterval = 0, rateList = 0;
  std::map<uint32_t, HostField> fields;
  std::map<uint32_t, HostProperty> properties;
};

// What a host that was told nothing holds.
inline std::string Untouched() { return HostResults().Summary(); }

#if QUENLIX_TEST_WITH_CAMSIM
inline camsim::CamsimOptions SimOptions(const std::string& fixture = "siqura_pal_h264",
                                        camsim::AuthMode auth = camsim::AuthMode::kNone) {
  camsim::CamsimOptions options;
  options.fixture = fixture;
  options.auth = auth;
  options.user = "admin";
  options.password = "secret";
  return options;
}
#endif

}  // namespace camtest
