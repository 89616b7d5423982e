// The command-line parser and the two programs' option tables, without running the programs.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include <stdexcept>

#include "tarnwick_testlibs/bin/lib/cli.h"
#include "tarnwick_testlibs/bin/probe_deployer/command_line.h"
#include "tarnwick_testlibs/bin/subnet_scout_options.h"

namespace {

using tarnwick::cli::HelpRequested;
using tarnwick::cli::Parser;
using tarnwick::cli::UsageError;
using Words = std::vector<std::string>;

// The last line of a usage error: the one-line message after the usage.
std::string errorLine(const UsageError& e) {
  std::string text = e.what();
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text.substr(text.rfind('\n') + 1);
}

// `typed`: through the deployer's options record, whose own checks follow the parser's.
std::string usageErrorOf(const Parser& p, const Words& words, bool typed = false) {
  try {
    if (typed) tarnwick::probe_deployer::parseOptions(p, words);
    p.parse(words);
  } catch (const UsageError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("usage: ", 0), 0u) << e.what();
    return errorLine(e);
  }
  ADD_FAILURE() << "accepted: " << tarnwick::cli::joinWords(words);
  return "";
}

class DeployerCommandLine : public ::testing::Test {
 protected:
  Parser parser = tarnwick::probe_deployer::makeParser();
  tarnwick::probe_deployer::Options parse(Words words) {
    words.insert(words.begin(), {"--test_config", "in.json"});
    return tarnwick::probe_deployer::parseOptions(parser, words);
  }
};

TEST_F(DeployerCommandLine, ValuesTakeOneArgumentInBothSpellings) {
  const auto a = parse({"--region", "eu-west-1", "--key_name=k=v", "--account", "-12"});
  EXPECT_EQ(a.region, "eu-west-1");
  EXPECT_EQ(a.key_name, "k=v");  // only the first "=" separates
  EXPECT_EQ(a.account, "-12");   // a negative number is a value, not an option
  EXPECT_EQ(a.test_config, "in.json");
}

TEST_F(DeployerCommandLine, AbsentAndEmptyValuesDefaultsAndFlags) {
  const auto a = parse({"--dry_run"});
  EXPECT_FALSE(a.region.has_value());
  EXPECT_FALSE(a.tag_resource.has_value());
  EXPECT_EQ(a.instance_type, "t3.micro");
  EXPECT_EQ(a.image, "al2023-ami-2023.3.20240108.0-kernel-6.1-x86_64");
  EXPECT_EQ(a.backup_folder, "./backups");
  EXPECT_TRUE(a.dry_run);
  EXPECT_FALSE(a.revert);

  const auto empty = parse({"--tag_resource="});  // an empty value is kept
  EXPECT_EQ(empty.tag_resource, "");
  EXPECT_FALSE(tarnwick::cli::nonEmpty(empty.tag_resource));
}

TEST_F(DeployerCommandLine, UnambiguousPrefixesAndRepeatsKeepTheLastValue) {
  const auto a = parse({"--tag", "a,b", "--work=r,1,x", "--reg", "one", "--region=two", "--rev", "--test_c", "other"});
  EXPECT_EQ(a.tag_resource, "a,b");
  EXPECT_EQ(a.workflow_account_role, "r,1,x");
  EXPECT_EQ(a.region, "two");
  EXPECT_EQ(a.test_config, "other");
  EXPECT_TRUE(a.revert);
}

TEST_F(DeployerCommandLine, AnOptionWithoutARecordFieldFailsEveryParse) {
  parser.addFlag("--verbose", "more output");
  EXPECT_THROW(parse({}), std::logic_error);
}

TEST_F(DeployerCommandLine, UsageErrors) {
  struct Case {
    Words words;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{"--region", "x"}, "the following arguments are required: --test_config"},
      {{"--test_config", "t", "--bogus"}, "unrecognized arguments: --bogus"},
      {{"--test_config", "t", "stray"}, "unrecognized arguments: stray"},
      {{"--test_config", "t", "-x"}, "unrecognized arguments: -x"},
      {{"--test_config"}, "argument --test_config: expected one argument"},
      {{"--test_config", "t", "--region", "--dry_run"}, "argument --region: expected one argument"},
      {{"--test_config", "t", "--revert=yes"}, "argument --revert: ignored explicit argument 'yes'"},
      {{"--test_config", "t", "--pr", "x"}, "ambiguous option: --pr could match --private_subnet_id, --profile"},
      {{"--test_config", "t", "--i=x"}, "ambiguous option: --i could match --instance_type, --image"},
      {{"--revert", "--test_config", "t", "--vpc_id", "v"},
       "argument --vpc_id: not allowed with argument --test_config"},
      {{"--vpc_id", "v"}, "argument --vpc_id: only with --revert"},
      {{"--sweep", "--test_config", "t"}, "argument --sweep: not allowed with argument --test_config"},
      {{"--test_config", "t", "--ol", "1h"}, "argument --ol (read as --older_than): only with --sweep"},
      {{"--sweep", "--older_than", "106752d"},
       "argument --older_than: invalid duration '106752d' (a whole number and s, m, h or d, at most 36500d)"},
      {{"--sweep", "--o", "6h"}, "argument --o (read as --output_test_config): not used by --sweep"},
      {{"--sweep", "--revert"}, "argument --revert: not allowed with argument --sweep"},
      {{"--revert", "--vpc_id", "vpc-0a1b2c3d", "--image", "x"}, "argument --image: not used by --revert --vpc_id"},
      {{"--revert", "--vpc_id", "foo"}, "argument --vpc_id: invalid VPC id 'foo' (vpc- and 8 or 17 hex digits)"},
      {{"--sweep", "--account="}, "argument --sweep: requires --account"},
      {{"--revert", "--vpc_id", "vpc-0a1b2c3d", "--me", "optional"},
       "argument --me (read as --metadata_tokens): not used by --revert --vpc_id"},
      {{"--test_config", "t", "--me", "Required"},
       "argument --metadata_tokens: invalid choice: 'Required' (choose from 'required', 'optional')"},
      {{"--test_config", "t", "--ttl", "8 h"},
       "argument --ttl: invalid duration '8 h' (a whole number and s, m, h or d, at most 36500d)"},
      {{"--revert", "--test_config", "t", "--tt", "8h"}, "argument --tt (read as --ttl): not used by --revert"},
      {{"--sweep", "--ttl", "8h"}, "argument --ttl: not used by --sweep"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(usageErrorOf(parser, c.words, true), "probe_deployer: error: " + c.error);
  }
  EXPECT_EQ(tarnwick::probe_deployer::parseOptions(parser, {"--revert", "--vpc_id", "vpc-0123456789abcdef0"}).vpc_id,
            "vpc-0123456789abcdef0");
  EXPECT_EQ(tarnwick::probe_deployer::parseOptions(parser, {"--sweep", "--ol=2d", "--ac=1"}).older_than, "2d");
  EXPECT_EQ(parse({"--o", "out"}).output_test_config, "out");  // as before --older_than came
  EXPECT_EQ(parse({"--tt", "8h"}).ttl, "8h");
}

// Each operation's record, converted once: text that names a choice, a duration or tags arrives typed.
TEST_F(DeployerCommandLine, OperationsReceiveTheirOptionsConverted) {
  namespace pd = tarnwick::probe_deployer;
  const auto epoch = std::chrono::system_clock::time_point();
  const pd::DeployOptions d(parse({"--dry_run", "--tag_resource", "Owner,qa,Team,net", "--ttl", "90m", "--me",
                                   "optional", "--ec2_role", "default", "--o", "out.json"}),
                            epoch);
  EXPECT_TRUE(d.create.dry_run && d.key_pair.dry_run && d.launch.dry_run && d.iam.dry_run);
  EXPECT_EQ(d.launch.tags, (pd::TagPairs{{"Owner", "qa"}, {"Team", "net"}}));
  EXPECT_EQ(d.key_pair.expires_at, "1970-01-01T01:30:00Z");
  EXPECT_EQ(d.create.expires_at, d.launch.expires_at);
  EXPECT_EQ(d.launch.metadata_tokens, pd::MetadataTokens::kOptional);
  EXPECT_EQ(d.key_pair.backup_folder, "./backups");
  EXPECT_TRUE(d.default_role);
  EXPECT_EQ(d.output_test_config, "out.json");

  const pd::DeployOptions plain(parse({}), epoch);
  EXPECT_FALSE(plain.create.dry_run || plain.create.expires_at || plain.default_role);
  EXPECT_EQ(plain.launch.metadata_tokens, pd::MetadataTokens::kRequired);
  EXPECT_EQ(plain.launch.instance_type, "t3.micro");

  const pd::SweepOptions sweep = pd::parseOptions(parser, {"--sweep", "--older_than", "2d", "--ac", "1"});
  EXPECT_EQ(sweep.older_than, std::chrono::hours(48));
  EXPECT_EQ(sweep.older_than_text, "2d");
  pd::Options workflow;  // a workflow's record has no parser in front of it
  workflow.metadata_tokens = "Required";
  EXPECT_THROW(pd::LaunchOptions{workflow}, std::invalid_argument);
}

TEST(OlderThan, IsANumberAndAUnit) {
  using std::chrono::seconds;
  using tarnwick::probe_deployer::parseDuration;
  EXPECT_EQ(parseDuration("90m"), seconds(5400));
  EXPECT_EQ(parseDuration("2d"), seconds(172800));
  EXPECT_EQ(parseDuration("0s"), seconds(0));
  EXPECT_EQ(parseDuration("36500d"), tarnwick::probe_deployer::kLongestOlderThan);
  for (const char* bad : {"", "h", "6", "-1h", "6H", "1w", "99999999999h", "36501d", "999999999d", "5000000h"})
    EXPECT_FALSE(parseDuration(bad)) << bad;
}

TEST_F(DeployerCommandLine, HelpWinsOverMissingRequiredOptionsAndListsDeclaredOrder) {
  for (const Words& words : {Words{"-h"}, Words{"--help"}, Words{"--he"}, Words{"--region", "x", "-h"}}) {
    try {
      parser.parse(words);
      ADD_FAILURE() << "no help for " << words[0];
    } catch (const HelpRequested& h) {
      std::string text = h.what();
      EXPECT_NE(text.find("Deploy test EC2 in test subnets"), std::string::npos);
      size_t last = 0;
      for (const char* name : {"--revert", "--region", "--test_config", "--image", "--backup_folder"}) {
        size_t at = text.find("\n  " + std::string(name));
        ASSERT_NE(at, std::string::npos) << name;
        EXPECT_GT(at, last) << name << " out of order";
        last = at;
      }
      EXPECT_NE(text.find("revert the operation"), std::string::npos);
    }
  }
}

class ScoutCommandLine : public ::testing::Test {
 protected:
  Parser parser = tarnwick::subnet_scout::makeParser();
  const Words globals{"--vpc", "vpc-1", "--assume_role", "arn:r", "--region", "r1"};
  Words with(const Words& tail) const {
    Words w = globals;
    w.insert(w.end(), tail.begin(), tail.end());
    return w;
  }
  const Words spoke{"spoke", "--controller_ip", "1.2.3.4", "--controller_user", "u", "--spoke_gw_name", "gw"};
};

TEST_F(ScoutCommandLine, NatgwHasNoSpokeFields) {
  const auto a = tarnwick::subnet_scout::parseOptions(parser, with({"natgw"}));
  EXPECT_EQ(a.subparser_name, "natgw");
  EXPECT_EQ(a.output_test_config, "subnet.config");
  EXPECT_EQ(a.backup_folder, "backups");
  EXPECT_FALSE(a.spoke.has_value());
}

TEST_F(ScoutCommandLine, SpokeOptionsFollowTheSubcommand) {
  Words w = with(spoke);
  w.insert(w.end(), {"--hor", "--controller_pass=p w"});
  const auto a = tarnwick::subnet_scout::parseOptions(parser, w);
  EXPECT_EQ(a.subparser_name, "spoke");
  ASSERT_TRUE(a.spoke.has_value());
  EXPECT_EQ(a.spoke->controller_ip, "1.2.3.4");
  EXPECT_EQ(a.spoke->controller_password, "p w");
  EXPECT_TRUE(a.spoke->horizontal_scaling);
  EXPECT_EQ(a.vpc, "vpc-1");
}

TEST_F(ScoutCommandLine, UsageErrors) {
  struct Case {
    Words words;
    std::string error;
  };
  const std::vector<Case> cases = {
      {with({}), "subnet_scout: error: a sub-command is required (choose from 'spoke', 'natgw')"},
      {with({"nat"}), "subnet_scout: error: invalid sub-command: 'nat' (choose from 'spoke', 'natgw')"},
      {{"--vpc", "v", "natgw"}, "subnet_scout: error: the following arguments are required: --assume_role, --region"},
      {with({"spoke", "--controller_ip", "1"}),
       "subnet_scout spoke: error: the following arguments are required: --controller_user, --spoke_gw_name"},
      {with({"natgw", "--vpc", "v2"}), "subnet_scout natgw: error: unrecognized arguments: --vpc"},
      {with({"natgw", "extra"}), "subnet_scout natgw: error: unrecognized arguments: extra"},
  };
  for (const auto& c : cases) EXPECT_EQ(usageErrorOf(parser, c.words), c.error);
}

TEST_F(ScoutCommandLine, HelpOfTheProgramAndOfASubcommand) {
  try {
    parser.parse({"-h"});
    ADD_FAILURE();
  } catch (const HelpRequested& h) {
    std::string text = h.what();
    EXPECT_NE(text.find("{spoke,natgw}"), std::string::npos);
    EXPECT_NE(text.find("search subnet with natgw"), std::string::npos);
  }
  try {
    parser.parse({"natgw", "spoke", "-h"});
    ADD_FAILURE() << "natgw has no sub-commands, so spoke is a stray word";
  } catch (const UsageError&) {
  }
  try {
    parser.parse({"spoke", "--help"});
    ADD_FAILURE();
  } catch (const HelpRequested& h) {
    std::string text = h.what();
    EXPECT_EQ(text.rfind("usage: subnet_scout spoke", 0), 0u) << text;
    EXPECT_NE(text.find("find subnet(s) with horizontal-scaling spoke gateway"), std::string::npos);
  }
}

TEST_F(ScoutCommandLine, BannerMasksThePasswordInEverySpelling) {
  const std::vector<std::pair<Words, Words>> cases = {
      {{"--controller_password", "s3cret"}, {"--controller_password", "****"}},
      {{"--controller_password=s3cret"}, {"--controller_password=****"}},
      {{"--controller_pass", "s3cret"}, {"--controller_pass", "****"}},
      {{"--controller_p=s3cret"}, {"--controller_p=****"}},
      {{"--controller_password", "a", "--controller_password", "natgw"},
       {"--controller_password", "****", "--controller_password", "****"}},
  };
  for (const auto& [tail, masked] : cases) {
    Words w = with(spoke);
    w.insert(w.end(), tail.begin(), tail.end());
    parser.parse(w);  // accepted as typed
    Words expected = with(spoke);
    expected.insert(expected.end(), masked.begin(), masked.end());
    EXPECT_EQ(parser.maskSecrets(w), expected);
  }
  // Other values, even one equal to a password-like word, stay as typed.
  Words plain = with({"natgw"});
  EXPECT_EQ(parser.maskSecrets(plain), plain);
}

// Each command line's first options as data (flags end in "!"): every prefix unambiguous among
// them and --help names the same option today, whatever options came later.
TEST(FirstOptions, EveryPrefixUnambiguousAmongThemKeepsItsMeaning) {
  const Parser deployer = tarnwick::probe_deployer::makeParser(), scout = tarnwick::subnet_scout::makeParser();
  for (const auto& [parser, before, after, names] : std::vector<std::tuple<const Parser*, Words, Words, Words>>{
           {&deployer,
            {"--test_config", "t"},
            {},
            {"--revert!", "--dry_run!", "--account", "--region", "--private_subnet_id", "--key_name", "--s3_bucket",
             "--assume_role", "--profile", "--ec2_role", "--test_config", "--output_test_config", "--tag_resource",
             "--instance_type", "--image", "--workflow_account_role", "--backup_folder", "--help!"}},
           {&scout,
            {"--vpc", "v", "--assume_role", "r", "--region", "x"},
            {"natgw"},
            {"--vpc", "--profile", "--assume_role", "--region", "--output_test_config", "--backup_folder",
             "--s3_bucket", "--help!"}},
           {&scout,
            {"--vpc", "v", "--assume_role", "r", "--region", "x", "spoke", "--controller_ip", "1", "--controller_user",
             "u", "--spoke_gw_name", "g"},
            {},
            {"--controller_ip", "--controller_user", "--controller_password", "--spoke_gw_name",
             "--horizontal_scaling!", "--help!"}}})
    for (const std::string& name : names)
      for (size_t n = 3; n < name.size() - (name.back() == '!'); ++n) {
        const std::string prefix = name.substr(0, n), field = name.substr(2, name.find('!') - 2);
        if (std::count_if(names.begin(), names.end(),
                          [&prefix](const std::string& o) { return o.starts_with(prefix); }) > 1)
          continue;
        Words words = before;
        words.insert(words.end(), {prefix, "x"});
        if (name.back() == '!') words.pop_back();
        words.insert(words.end(), after.begin(), after.end());
        if (field == "help")
          EXPECT_THROW(parser->parse(words), HelpRequested) << prefix;
        else
          EXPECT_EQ(parser->parse(words).typed(field), prefix) << prefix;
      }
}

TEST(TextHelpers, SplitKeepsEmptyPiecesAndJoinUsesSingleBlanks) {
  using tarnwick::cli::splitAt;
  EXPECT_EQ(splitAt("", ','), Words{""});
  EXPECT_EQ(splitAt("a,b,", ','), (Words{"a", "b", ""}));
  EXPECT_EQ(splitAt(",,", ','), (Words{"", "", ""}));
  EXPECT_EQ(tarnwick::cli::joinWords({"a b", "", "c"}), "a b  c");
}

}  // namespace
