#include "capability_helpers.h"

namespace camtest {

namespace {

class TextField : public quenlix::ICapabilityTextField {
 public:
  TextField(RecordingResults* owner, uint32_t index) : owner_(owner), index_(index) {}
  void Reserved0() override { owner_->Record("TextField.Reserved0"); }
  void SetText(const char* text) override {
    owner_->Record("Field " + std::to_string(index_) + " " + text);
  }

 private:
  RecordingResults* owner_;
  uint32_t index_;
};

class Property : public quenlix::ICapabilityProperty {
 public:
  Property(RecordingResults* owner, uint32_t id)
      : owner_(owner), prefix_("Property " + std::to_string(id) + " ") {}
  void Reserved0() override { owner_->Record(prefix_ + "Reserved0"); }
  void SetValue(const char* value) override { owner_->Record(prefix_ + "SetValue " + value); }
  void Reserved2() override { owner_->Record(prefix_ + "Reserved2"); }
  void Reserved3() override { owner_->Record(prefix_ + "Reserved3"); }
  void SetFlag(uint32_t flag) override {
    owner_->Record(prefix_ + "SetFlag " + std::to_string(flag));
  }
  void SetName(const char* name) override { owner_->Record(prefix_ + "SetName " + name); }
  void SetReserved(uint32_t v) override {
    owner_->Record(prefix_ + "SetReserved " + std::to_string(v));
  }

 private:
  RecordingResults* owner_;
  std::string prefix_;
};

class ResolutionList : public quenlix::ICapabilityResolutionList {
 public:
  explicit ResolutionList(RecordingResults* owner) : owner_(owner) {}
  void Reserved0() override { owner_->Record("ResolutionList.Reserved0"); }
  void AddResolution(const char* name, uint32_t w, uint32_t h, uint32_t ms) override {
    owner_->Record("AddResolution " + std::string(name) + " " + std::to_string(w) + " " +
                   std::to_string(h) + " " + std::to_string(ms));
  }

 private:
  RecordingResults* owner_;
};

class FrameRateList : public quenlix::ICapabilityFrameRateList {
 public:
  explicit FrameRateList(RecordingResults* owner) : owner_(owner) {}
  void Reserved0() override { owner_->Record("FrameRateList.Reserved0"); }
  void SetDefaultInterval(uint32_t ms) override {
    owner_->Record("SetDefaultInterval " + std::to_string(ms));
  }
  void AddInterval(uint32_t ms) override { owner_->Record("AddInterval " + std::to_string(ms)); }

 private:
  RecordingResults* owner_;
};

}  // namespace

struct RecordingResults::Objects {
  explicit Objects(RecordingResults* owner) : resolutions(owner), frameRates(owner) {}
  std::map<uint32_t, std::unique_ptr<TextField>> fields;
  std::vector<std::unique_ptr<Property>> properties;
  ResolutionList resolutions;
  FrameRateList frameRates;
};

RecordingResults::RecordingResults() : objects_(new Objects(this)) {}
RecordingResults::~RecordingResults() = default;

void RecordingResults::Record(const std::string& call) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back(call);
}

std::vector<std::string> RecordingResults::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<std::string> RecordingResults::CallsStartingWith(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const std::string& c : Calls()) {
    if (c.compare(0, prefix.size(), prefix) == 0) out.push_back(c);
  }
  return out;
}

void RecordingResults::Reserved0() { Record("Reserved0"); }
void RecordingResults::SetCapability(uint32_t id, uint32_t value) {
  Record("SetCapability " + std::to_string(id) + " " + std::to_string(value));
}
void RecordingResults::SetModelName(const char* name) {
  Record(std::string("SetModelName ") + name);
}
quenlix::ICapabilityTextField* RecordingResults::GetConnectionField(uint32_t index) {
  auto& field = objects_->fields[index];
  if (!field) field.reset(new TextField(this, index));
  return field.get();
}
void RecordingResults::Reserved4() { Record("Reserved4"); }
quenlix::ICapabilityProperty* RecordingResults::AddProperty(uint32_t id) {
  objects_->properties.emplace_back(new Property(this, id));
  return objects_->properties.back().get();
}
quenlix::ICapabilityResolutionList* RecordingResults::GetResolutionList() {
  return &objects_->resolutions;
}
void RecordingResults::Reserved7() { Record("Reserved7"); }
quenlix::ICapabilityFrameRateList* RecordingResults::GetFrameRateList(uint32_t which) {
  Record("GetFrameRateList " + std::to_string(which));
  return &objects_->frameRates;
}

}  // namespace camtest
