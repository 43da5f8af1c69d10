#pragma once
// A node factory for planning tests: every creation is recorded ("TAc3Reader(gaps=1, ...)")
// and answered with a pass-through node, so a test can compare the chain a planning step
// builds with a table without any real node running.
#include <string>
#include <vector>

#include "app/kavrix_mod_factory.h"

namespace kavrix::test {

class TRecordedNode final : public TPassThrough {
 public:
  explicit TRecordedNode(std::string record) : record_(std::move(record)) {}
  const std::string& Record() const { return record_; }

 private:
  std::string record_;
};

class TRecordingFactory final : public TNodeFactory {
 public:
  std::vector<std::string> records;
  // Also build the real node (or the stand-in) instead of a recorded pass-through.
  bool buildReal = false;

  void Clear() { records.clear(); }

 protected:
  UpStreamPtr Make(const std::string& record, const std::function<UpStreamPtr()>& create) override {
    records.push_back(record);
    if (buildReal) return create();
    return std::make_shared<TRecordedNode>(record);
  }
};

// The records of a chain from `head` along upstream 0 (the head itself included when it is
// a recorded node).
inline std::vector<std::string> ChainRecords(const UpStreamPtr& head) {
  std::vector<std::string> out;
  for (UpStreamPtr node = head; node;
       node = node->GetUpstreamCount() ? node->GetUpstream(0) : nullptr) {
    if (auto* r = dynamic_cast<TRecordedNode*>(node.get())) out.push_back(r->Record());
  }
  return out;
}

}  // namespace kavrix::test
