// The operator's extra tags on a creation request.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/bin/probe_deployer.h"

namespace {

using tarnwick::probe_deployer::Doc;
using tarnwick::probe_deployer::populateTags;

Doc request() {
  return Doc::parse(R"({"TagSpecifications": [
      {"ResourceType": "security-group", "Tags": [{"Key": "Name", "Value": "tarnwick-test-ec2-sg"}]},
      {"ResourceType": "instance", "Tags": []}]})");
}

Doc tag(const std::string& key, const std::string& value) { return Doc{{"Key", key}, {"Value", value}}; }

TEST(PopulateTags, AppendsPairsAfterNameTagOnFirstElementOnly) {
  struct Case {
    std::string text;
    std::vector<Doc> added;
  };
  const std::vector<Case> cases = {
      {"Owner,qa,Team,net", {tag("Owner", "qa"), tag("Team", "net")}},
      {"Owner,qa,Owner,dev", {tag("Owner", "qa"), tag("Owner", "dev")}},
      {" Owner , qa", {tag(" Owner ", " qa")}},
      {",", {tag("", "")}},
      {"", {}},
  };
  for (const auto& c : cases) {
    Doc data = request();
    populateTags(data, c.text);
    Doc expected = Doc::array({tag("Name", "tarnwick-test-ec2-sg")});
    for (const auto& t : c.added) expected.push_back(t);
    EXPECT_EQ(data["TagSpecifications"][0]["Tags"], expected) << "text '" << c.text << "'";
    EXPECT_EQ(data["TagSpecifications"][1]["Tags"], Doc::array()) << "text '" << c.text << "'";
    EXPECT_EQ(data["TagSpecifications"][0].begin().key(), "ResourceType");
  }
}

TEST(PopulateTags, RequestWithoutTagSpecificationsIsRejected) {
  Doc data = Doc::object();
  EXPECT_THROW(populateTags(data, "a,b"), std::invalid_argument);
}

}  // namespace
