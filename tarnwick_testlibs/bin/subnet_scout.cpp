// The run flow of subnet_scout: parse, set up logging, open sessions, run one search, exit.
#include "tarnwick_testlibs/bin/subnet_scout.h"

#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "tarnwick_testlibs/aws/session.h"
#include "tarnwick_testlibs/base/terminal.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/Globals.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/lib/aws_session.h"
#include "tarnwick_testlibs/bin/lib/gatepass.h"
#include "tarnwick_testlibs/bin/lib/nat.h"
#include "tarnwick_testlibs/bin/lib/runkit.h"
#include "tarnwick_testlibs/bin/lib/spoke.h"
#include "tarnwick_testlibs/bin/program_options.h"

namespace tarnwick::subnet_scout {

namespace {

constexpr const char* kLogger = "tarnwick_testlibs";
constexpr const char* kPasswordPrompt = "Enter Tarnwick Controller Password: ";

// Without a terminal there is nobody to prompt: the search would log in with an empty password.
void requirePasswordSource(const cli::Parser& parser, const Options& args) {
  if (!args.spoke || cli::nonEmpty(args.spoke->controller_password) || ::isatty(STDIN_FILENO)) return;
  parser.subcommand(kSpokeCommand).fail("--controller_password is required when standard input is not a terminal");
}

// The prompt and the answer go through the terminal itself, as a password prompt should.
std::string askPassword() {
  const FileDescriptor tty = terminal::open();
  const int fd = tty.valid() ? tty.get() : STDIN_FILENO;
  const int promptFd = tty.valid() ? tty.get() : STDERR_FILENO;
  terminal::write(promptFd, kPasswordPrompt);
  std::string password = terminal::readHiddenLine(fd);
  terminal::write(promptFd, "\n");
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return password;
}

std::string outputPath(const Options& args) {
  return cli::text(args.backup_folder) + "/" + cli::text(args.vpc) + "/" + cli::text(args.output_test_config);
}

// False when an earlier run already left the file (or anything else) at the output path.
bool prepareOutput(const Options& args, logging::Logger& log) {
  if (!cli::nonEmpty(args.output_test_config)) return true;
  const std::string path = outputPath(args);
  std::error_code ec;
  if (std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
    log.info("- Found " + path);
    return false;
  }
  std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder);
  Globals::TEST_CONFIG = path;
  return true;
}

int runSpokeSearch(const Options& args, aws::Ec2Client& ec2) {
  const SpokeOptions spoke = args.spoke.value_or(SpokeOptions{});
  const std::string controller = cli::text(spoke.controller_ip);
  const std::string user = cli::text(spoke.controller_user);
  // Before anything reaches the controller: the login carries the password.
  twk_https::setVerification({cli::text(spoke.controller_ca), cli::text(spoke.controller_fingerprint)});
  const std::string password =
      cli::nonEmpty(spoke.controller_password) ? *spoke.controller_password : askPassword();
  const std::string cid = gatepass::get_tarnwick_cid(controller, user, password);
  const std::string gateway = cli::text(spoke.spoke_gw_name);
  if (spoke.horizontal_scaling)
    spoke::Spoke::findHsSpokes(args, ec2, "https://" + controller + "/v2/api", cid, gateway);
  else
    spoke::Spoke::findClassicSpokes(args, ec2, "https://" + controller + "/v1/api", cid, gateway);
  return AppExitStatus().getStatus();
}

int run(int argc, char** argv) {
  const cli::Parser parser = makeParser();
  const std::vector<std::string> words = cli::argumentWords(argc, argv);
  const Options args = parseOptions(parser, words);
  requirePasswordSource(parser, args);

  Common::initLogLocation(cli::text(args.backup_folder));
  // The controller password may stand on the command line; it never reaches a log.
  Common::logCommandOptions("subnet_scout " + cli::joinWords(parser.maskSecrets(words)));
  logging::Logger& log = logging::getLogger(kLogger);

  // EC2 runs under the assumed role; the bucket copy uses the profile's own credentials.
  aws::Session assumed = start_aws_session(cli::text(args.assume_role), args.profile, args.region);
  std::shared_ptr<aws::Ec2Client> ec2 = assumed.ec2(cli::text(args.region));
  std::shared_ptr<aws::S3Client> s3 = aws::Session::fromProfile(args.profile, args.region).s3(startRegion(args.region));

  if (!prepareOutput(args, log)) return kExitOk;

  if (args.subparser_name == kNatgwCommand) {
    nat::Nat::findNatGws(args, *ec2, s3.get());
    return kExitOk;
  }
  return runSpokeSearch(args, *ec2);
}

}  // namespace

int main(int argc, char** argv) {
  return cli::runProgram("subnet_scout", [&] { return run(argc, argv); });
}

}  // namespace tarnwick::subnet_scout
