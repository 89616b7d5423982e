// Image lookup: the image identifier a deployment launches its test instances from.
#include "tarnwick_testlibs/bin/probe_deployer/image.h"

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/paginator.h"
#include "tarnwick_testlibs/bin/core/AppExitStatus.h"
#include "tarnwick_testlibs/bin/core/logging.h"
#include "tarnwick_testlibs/bin/core/messages.h"
#include "tarnwick_testlibs/bin/probe_deployer/common.h"

namespace tarnwick::probe_deployer {

namespace {

constexpr const char* kImageOwner = "amazon";
constexpr const char* kExecutableUsers = "all";
constexpr const char* kNameFilter = "name";
constexpr const char* kLatestImagesPath = "/aws/service/ami-amazon-linux-latest";

[[noreturn]] void imageNotFound(logging::Logger& log, const std::string& image) {
  log.error(messages::imageNotFound(image));
  throw ProcessExit(kExitFatal, "");
}

}  // namespace

ImageInfo lookupImage(aws::Ec2Client& ec2_client, const std::string& image) {
  logging::Logger& log = logging::getLogger(kLogger);
  log.info("- Lookup AMI for " + image);
  Doc request = Doc::object();
  request["ExecutableUsers"] = Doc::array({kExecutableUsers});
  request["Filters"] = Doc::array({{{"Name", kNameFilter}, {"Values", Doc::array({image})}}});
  request["Owners"] = Doc::array({kImageOwner});
  request["IncludeDeprecated"] = false;
  const Doc answer = ec2_client.describe_images(request);
  const Doc images = answer.value("Images", Doc::array());
  if (images.empty()) imageNotFound(log, image);
  const ImageInfo found{images[0].value("ImageId", ""), images[0].value("Architecture", "")};
  log.info("  " + found.id);
  return found;
}

std::string getAMIByName(aws::Ec2Client& ec2_client, const Options& args) {
  return lookupImage(ec2_client, cli::text(args.image)).id;
}

std::string getAMI(aws::SsmClient& ssm_client, const Options& args) {
  logging::Logger& log = logging::getLogger(kLogger);
  const std::string image = cli::text(args.image);
  log.info("- Lookup AMI for " + image);
  // The service answers at most 10 parameters a page, so the pages are followed until a match.
  aws::Paginator pages(ssm_client, "GetParametersByPath", {{"Path", kLatestImagesPath}});
  for (Doc answer; pages.next(answer);) {
    for (const auto& parameter : answer.value("Parameters", Doc::array())) {
      if (!parameter.value("Name", "").ends_with(image)) continue;
      const std::string value = parameter.value("Value", "");
      log.info("  " + value);
      return value;
    }
  }
  imageNotFound(log, image);
}

}  // namespace tarnwick::probe_deployer
