// A host results object that writes down every call it receives, in order,
// as text ("SetCapability 7 1"), so tests can compare whole hand-overs.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "quenlix/capability.h"

namespace camtest {

class RecordingResults : public quenlix::ICapabilityResults {
 public:
  RecordingResults();
  ~RecordingResults();

  void Reserved0() override;
  void SetCapability(uint32_t id, uint32_t value) override;
  void SetModelName(const char* name) override;
  quenlix::ICapabilityTextField* GetConnectionField(uint32_t index) override;
  void Reserved4() override;
  quenlix::ICapabilityProperty* AddProperty(uint32_t id) override;
  quenlix::ICapabilityResolutionList* GetResolutionList() override;
  void Reserved7() override;
  quenlix::ICapabilityFrameRateList* GetFrameRateList(uint32_t which) override;

  void Record(const std::string& call);
  std::vector<std::string> Calls() const;
  // Calls that begin with prefix.
  std::vector<std::string> CallsStartingWith(const std::string& prefix) const;

 private:
  struct Objects;
  std::unique_ptr<Objects> objects_;
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

}  // namespace camtest
