// The client's own CPU cost of one DescribeInstances call: building and signing the request,
// turning a typical answer into a document, reading shared credentials. No network is involved.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "model.h"
#include "protocol.h"
#include "tarnwick_testlibs/aws/credentials.h"
#include "tarnwick_testlibs/aws/http.h"
#include "tarnwick_testlibs/aws/sigv4.h"

namespace {

using tarnwick::aws::detail::Json;

const Json kParams = Json::parse(
    R"({"Filters":[{"Name":"subnet-id","Values":["subnet-0abc"]},{"Name":"instance-state-name","Values":["running","pending"]}]})");

// An answer of `n` instances as the service writes them: interfaces, groups, tags, block devices.
std::string typicalAnswer(int n) {
  std::string items;
  for (int i = 0; i < n; ++i) {
    items += fmt::format(R"(<item><instanceId>i-{0:017x}</instanceId><imageId>ami-0a3c3a20c09d6f377</imageId>
<instanceState><code>16</code><name>running</name></instanceState><privateDnsName>ip-10-20-1-{0}.ec2.internal</privateDnsName>
<amiLaunchIndex>0</amiLaunchIndex><instanceType>t3.micro</instanceType><launchTime>2024-01-08T10:00:00.000Z</launchTime>
<placement><availabilityZone>us-east-1a</availabilityZone><tenancy>default</tenancy></placement>
<monitoring><state>disabled</state></monitoring><subnetId>subnet-0abc</subnetId><vpcId>vpc-0abc</vpcId>
<privateIpAddress>10.20.1.{0}</privateIpAddress><ipAddress>3.3.3.{0}</ipAddress><sourceDestCheck>true</sourceDestCheck>
<groupSet><item><groupId>sg-0abc</groupId><groupName>tarnwick-test-ec2-sg</groupName></item></groupSet>
<architecture>x86_64</architecture><rootDeviceType>ebs</rootDeviceType><rootDeviceName>/dev/xvda</rootDeviceName>
<blockDeviceMapping><item><deviceName>/dev/xvda</deviceName><ebs><volumeId>vol-{0:017x}</volumeId><status>attached</status>
<attachTime>2024-01-08T10:00:01.000Z</attachTime><deleteOnTermination>true</deleteOnTermination></ebs></item></blockDeviceMapping>
<networkInterfaceSet><item><networkInterfaceId>eni-{0:017x}</networkInterfaceId><subnetId>subnet-0abc</subnetId>
<status>in-use</status><privateIpAddress>10.20.1.{0}</privateIpAddress><sourceDestCheck>true</sourceDestCheck>
<attachment><attachmentId>eni-attach-{0}</attachmentId><deviceIndex>0</deviceIndex><status>attached</status></attachment>
<association><publicIp>3.3.3.{0}</publicIp><ipOwnerId>amazon</ipOwnerId></association></item>
<item><networkInterfaceId>eni-1{0:016x}</networkInterfaceId><subnetId>subnet-0def</subnetId><status>in-use</status>
<attachment><deviceIndex>1</deviceIndex><status>attached</status></attachment><association/></item></networkInterfaceSet>
<tagSet><item><key>Name</key><value>tarnwick-test-ec2</value></item><item><key>owner</key><value>ci</value></item></tagSet>
<ebsOptimized>false</ebsOptimized><enaSupport>true</enaSupport></item>)",
                         i + 1);
  }
  return fmt::format(R"(<?xml version="1.0" encoding="UTF-8"?>
<DescribeInstancesResponse xmlns="http://ec2.amazonaws.com/doc/2016-11-15/"><requestId>r</requestId>
<reservationSet><item><reservationId>r-0abc</reservationId><ownerId>123456789012</ownerId><groupSet/>
<instancesSet>{}</instancesSet></item></reservationSet></DescribeInstancesResponse>)",
                     items);
}

tarnwick::aws::http::Request signedRequest() {
  const auto& model = tarnwick::aws::detail::serviceModel("ec2");
  const auto& op = model.operation("DescribeInstances");
  tarnwick::aws::detail::validate(op.input, kParams);
  tarnwick::aws::http::Request req;
  req.method = "POST";
  req.url = "https://ec2.us-east-1.amazonaws.com/";
  req.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded; charset=utf-8");
  req.body = tarnwick::aws::http::formEncode(tarnwick::aws::detail::serializeQuery(model, op, kParams));
  tarnwick::aws::Credentials creds{"AKIDEXAMPLE", "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY", "", std::nullopt};
  tarnwick::aws::sigv4::sign(req, creds, {"us-east-1", "ec2", false, ""}, std::chrono::system_clock::now());
  return req;
}

void SignRequest(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(signedRequest());
}

void ParseAnswer(benchmark::State& state) {
  const auto& model = tarnwick::aws::detail::serviceModel("ec2");
  const auto& op = model.operation("DescribeInstances");
  const std::string body = typicalAnswer(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(tarnwick::aws::detail::parseXmlAnswer(model, op, body));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

void WholeCall(benchmark::State& state) {
  const auto& model = tarnwick::aws::detail::serviceModel("ec2");
  const auto& op = model.operation("DescribeInstances");
  const std::string body = typicalAnswer(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(signedRequest());
    benchmark::DoNotOptimize(tarnwick::aws::detail::parseXmlAnswer(model, op, body));
  }
}

// What every call pays to read credentials that its workers share (and that renew themselves).
void SharedCredentials(benchmark::State& state) {
  static const auto provider = tarnwick::aws::refreshingCredentials([] {
    return tarnwick::aws::Credentials{"AKID", "SECRET", "TOKEN",
                                      std::chrono::system_clock::now() + std::chrono::hours(1)};
  });
  for (auto _ : state) benchmark::DoNotOptimize(provider->get());
}

// Signing an 8 MiB file body: its SHA-256 is what a stream costs where it may not go unsigned
// (plain http, or no checksum).
void SignFileBody(benchmark::State& state) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::tmpfile(), &std::fclose);
  const std::string part(static_cast<size_t>(state.range(0)), 'x');
  std::fwrite(part.data(), 1, part.size(), f.get());
  std::rewind(f.get());
  tarnwick::aws::http::Request req;
  req.method = "PUT";
  req.url = "http://127.0.0.1:9000/bucket/key";
  req.uploadFrom = f.get();
  req.uploadSize = state.range(0);
  const tarnwick::aws::Credentials creds{"AKIDEXAMPLE", "SECRET", "", std::nullopt};
  for (auto _ : state)
    tarnwick::aws::sigv4::sign(req, creds, {"us-east-1", "s3", true, ""}, std::chrono::system_clock::now());
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(SignRequest);
BENCHMARK(SignFileBody)->Arg(8 << 20);
BENCHMARK(ParseAnswer)->Arg(1)->Arg(4)->Arg(16);
BENCHMARK(WholeCall)->Arg(4);
BENCHMARK(SharedCredentials)->Threads(1)->Threads(8);

}  // namespace

BENCHMARK_MAIN();
