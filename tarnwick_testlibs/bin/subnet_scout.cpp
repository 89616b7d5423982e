// The run flow of subnet_scout: parse, set up logging, open sessions, run one search, exit.
#include "tarnwick_testlibs/bin/subnet_scout.h"

#include <unistd.h>

#include <cstdlib>
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
#include "tarnwick_testlibs/bin/lib/twk_https.h"
#include "tarnwick_testlibs/bin/subnet_scout_options.h"

namespace tarnwick::subnet_scout {

namespace {

constexpr const char* kLogger = "tarnwick_testlibs";
constexpr const char* kPasswordPrompt = "Enter Tarnwick Controller Password: ";
// Where a script or CI job keeps the password off the command line, which every user of the
// host can read in the process list.
constexpr const char* kPasswordVariable = "TARNWICK_CONTROLLER_PASSWORD";

twk_https::Verification certificateChecks(const SpokeOptions& spoke) {
  return {cli::text(spoke.controller_ca), cli::text(spoke.controller_fingerprint)};
}

// Certificate options that cannot work would only fail after the role is assumed and the
// password asked for; they are usage errors, found before either.
void requireUsableCertificateChecks(const cli::Parser& parser, const Options& args) {
  if (!args.spoke) return;
  if (auto problem = twk_https::verificationProblem(certificateChecks(*args.spoke)))
    parser.subcommand(kSpokeCommand).fail(*problem);
}

std::string withoutLineEnd(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// Asked on the terminal when standard input is one; otherwise standard input's first line is
// the answer (printf '%s\n' "$PW" | subnet_scout ...), and nothing is shown.
std::string askPassword() {
  if (!::isatty(STDIN_FILENO)) return withoutLineEnd(terminal::readHiddenLine(STDIN_FILENO));
  const FileDescriptor tty = terminal::open();
  return withoutLineEnd(terminal::askHidden(tty.valid() ? tty.get() : STDIN_FILENO, kPasswordPrompt));
}

// The first non-empty one of: the option, the variable, the answer to the prompt.
std::string controllerPassword(const cli::Parser& parser, const SpokeOptions& spoke) {
  if (cli::nonEmpty(spoke.controller_password)) return *spoke.controller_password;
  if (const char* fromEnvironment = std::getenv(kPasswordVariable); fromEnvironment && *fromEnvironment)
    return fromEnvironment;
  std::string password = askPassword();
  if (password.empty())
    parser.subcommand(kSpokeCommand)
        .fail(std::string("no controller password: pipe it to standard input, set ") + kPasswordVariable +
              " or give --controller_password");
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

int runSpokeSearch(const cli::Parser& parser, const Options& args, aws::Ec2Client& ec2) {
  const SpokeOptions spoke = args.spoke.value_or(SpokeOptions{});
  const std::string controller = cli::text(spoke.controller_ip);
  const std::string user = cli::text(spoke.controller_user);
  // Before anything reaches the controller: the login carries the password.
  twk_https::setVerification(certificateChecks(spoke));
  const std::string password = controllerPassword(parser, spoke);
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
  requireUsableCertificateChecks(parser, args);

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
  return runSpokeSearch(parser, args, *ec2);
}

}  // namespace

int main(int argc, char** argv) {
  return cli::runProgram("subnet_scout", [&] { return run(argc, argv); });
}

}  // namespace tarnwick::subnet_scout
