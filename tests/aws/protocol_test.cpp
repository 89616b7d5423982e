// The wire formats without a network: query flattening, answer parsing by shape, error formats.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <vector>

#include "model.h"
#include "protocol.h"
#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/aws/views.h"

namespace {

using tarnwick::aws::detail::Fields;
using tarnwick::aws::detail::Json;
using tarnwick::aws::detail::serviceModel;

Fields serialize(const std::string& service, const std::string& op, const Json& params) {
  const auto& m = serviceModel(service);
  return tarnwick::aws::detail::serializeQuery(m, m.operation(op), params);
}

Fields without(Fields f, size_t head = 2) { return Fields(f.begin() + static_cast<long>(head), f.end()); }

struct QueryCase {
  const char* service;
  const char* operation;
  const char* params;
  Fields expected;  // after Action and Version
};

class QuerySerialization : public ::testing::TestWithParam<QueryCase> {};

TEST_P(QuerySerialization, UsesTheServiceFlatteningRules) {
  const auto& c = GetParam();
  EXPECT_EQ(without(serialize(c.service, c.operation, Json::parse(c.params))), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuerySerialization,
    ::testing::Values(
        // EC2 (the emulator shows the rest): queryName wins, lists are Name.N, an empty list sends nothing.
        QueryCase{"ec2",
                  "DescribeInstances",
                  R"({"InstanceIds":["i-1","i-2"],"Filters":[]})",
                  {{"InstanceId.1", "i-1"}, {"InstanceId.2", "i-2"}}},
        QueryCase{
            "ec2",
            "RunInstances",
            R"({"NetworkInterfaces":[{"DeviceIndex":1,"Groups":["sg-1"]}],"TagSpecifications":[{"ResourceType":"instance","Tags":[{"Key":"Name","Value":"x"}]}],"IamInstanceProfile":{"Name":"p"}})",
            {{"NetworkInterface.1.DeviceIndex", "1"},
             {"NetworkInterface.1.SecurityGroupId.1", "sg-1"},
             {"TagSpecification.1.ResourceType", "instance"},
             {"TagSpecification.1.Tag.1.Key", "Name"},
             {"TagSpecification.1.Tag.1.Value", "x"},
             {"IamInstanceProfile.Name", "p"}}},
        // Query protocol: lists are Name.member.N, and an empty list is sent as an empty value.
        QueryCase{"iam",
                  "CreateRole",
                  R"({"RoleName":"r","Tags":[{"Key":"k","Value":"v"}]})",
                  {{"RoleName", "r"}, {"Tags.member.1.Key", "k"}, {"Tags.member.1.Value", "v"}}},
        QueryCase{"iam", "CreateRole", R"({"RoleName":"r","Tags":[]})", {{"RoleName", "r"}, {"Tags", ""}}},
        QueryCase{"sts",
                  "AssumeRole",
                  R"({"RoleArn":"a","PolicyArns":[{"arn":"p"}],"DurationSeconds":900})",
                  {{"RoleArn", "a"}, {"PolicyArns.member.1.arn", "p"}, {"DurationSeconds", "900"}}}));

TEST(QuerySerialization, StartsWithActionAndVersion) {
  const Fields f = serialize("iam", "ListPolicies", Json::object());
  EXPECT_EQ(f, (Fields{{"Action", "ListPolicies"}, {"Version", "2010-05-08"}}));
  EXPECT_EQ(serialize("ec2", "describe_subnets", nullptr).at(0).second, "DescribeSubnets");
}

TEST(Validation, RejectsMembersTheModelDoesNotKnowAndWrongKinds) {
  const auto& op = serviceModel("ec2").operation("DescribeInstances");
  EXPECT_NO_THROW(
      tarnwick::aws::detail::validate(op.input, Json::parse(R"({"Filters":[{"Name":"a","Values":["b"]}]})")));
  for (const char* bad : {R"({"InstanceId":["i-1"]})", R"({"Filters":[{"Name":"a","Value":["b"]}]})",
                          R"({"InstanceIds":"i-1"})", R"({"MaxResults":"5"})", R"({"DryRun":1})"}) {
    EXPECT_THROW(tarnwick::aws::detail::validate(op.input, Json::parse(bad)), tarnwick::aws::ClientError) << bad;
  }
  try {
    tarnwick::aws::detail::validate(op.input, Json::parse(R"({"Filters":[{"Nme":"a"}]})"));
  } catch (const tarnwick::aws::ClientError& e) {
    EXPECT_NE(std::string(e.what()).find("\"Nme\""), std::string::npos);
  }
}

TEST(IdempotencyToken, FilledOnlyWhereTheModelMarksOneAndKeptWhenGiven) {
  const auto& run = serviceModel("ec2").operation("RunInstances");
  const Json filled = tarnwick::aws::detail::withIdempotencyTokens(run.input, {{"MinCount", 1}});
  EXPECT_TRUE(std::regex_match(filled.at("ClientToken").get<std::string>(),
                               std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")));
  EXPECT_NE(filled["ClientToken"], tarnwick::aws::detail::withIdempotencyTokens(run.input, {}).at("ClientToken"));
  EXPECT_EQ(tarnwick::aws::detail::withIdempotencyTokens(run.input, {{"ClientToken", "mine"}}).at("ClientToken"),
            "mine");
  const auto& describe = serviceModel("ec2").operation("DescribeInstances");
  EXPECT_EQ(tarnwick::aws::detail::withIdempotencyTokens(describe.input, {}), Json::object());
}

constexpr const char* kDescribeInstances = R"(<?xml version="1.0" encoding="UTF-8"?>
<DescribeInstancesResponse xmlns="http://ec2.amazonaws.com/doc/2016-11-15/">
  <requestId>r-1</requestId>
  <reservationSet>
    <item>
      <reservationId>r-0a</reservationId>
      <groupSet/>
      <instancesSet>
        <item>
          <instanceId>i-0a</instanceId>
          <amiLaunchIndex>0</amiLaunchIndex>
          <ebsOptimized>false</ebsOptimized>
          <launchTime>2024-01-08T10:00:00.000Z</launchTime>
          <instanceState><code>16</code><name>running</name></instanceState>
          <keyName></keyName>
          <networkInterfaceSet>
            <item><networkInterfaceId>eni-1</networkInterfaceId><association/></item>
            <item><networkInterfaceId>eni-2</networkInterfaceId>
              <association><publicIp>3.3.3.3</publicIp></association></item>
          </networkInterfaceSet>
        </item>
      </instancesSet>
    </item>
  </reservationSet>
</DescribeInstancesResponse>)";

TEST(XmlAnswers, Ec2SetsTypesAndPresence) {
  const auto& m = serviceModel("ec2");
  const Json d = tarnwick::aws::detail::parseXmlAnswer(m, m.operation("DescribeInstances"), kDescribeInstances);
  ASSERT_EQ(d.at("Reservations").size(), 1u);
  const Json& r = d["Reservations"][0];
  EXPECT_EQ(r.at("Groups"), Json::array());  // empty, not absent
  EXPECT_FALSE(r.contains("OwnerId"));       // absent stays absent
  const Json& i = r.at("Instances").at(0);
  EXPECT_EQ(i.at("AmiLaunchIndex"), 0);
  EXPECT_EQ(i.at("EbsOptimized"), false);
  EXPECT_EQ(i.at("LaunchTime"), "2024-01-08T10:00:00.000Z");
  EXPECT_EQ(i.at("State"), (Json{{"Code", 16}, {"Name", "running"}}));
  EXPECT_EQ(i.at("KeyName"), "");  // an empty string is still a value
  EXPECT_FALSE(i.at("NetworkInterfaces")[0].contains("Association"));
  EXPECT_EQ(i.at("NetworkInterfaces")[1].at("Association").at("PublicIp"), "3.3.3.3");
  EXPECT_FALSE(i.contains("Tags"));
}

TEST(XmlAnswers, QueryResultsSitInTheirWrapperAndListMembers) {
  const auto& m = serviceModel("iam");
  const std::string body = R"(<ListPoliciesResponse xmlns="https://iam.amazonaws.com/doc/2010-05-08/">
  <ListPoliciesResult><IsTruncated>true</IsTruncated><Marker>m2</Marker>
    <Policies><member><PolicyName>p</PolicyName><AttachmentCount>2</AttachmentCount></member></Policies>
  </ListPoliciesResult><ResponseMetadata><RequestId>x</RequestId></ResponseMetadata></ListPoliciesResponse>)";
  const Json d = tarnwick::aws::detail::parseXmlAnswer(m, m.operation("ListPolicies"), body);
  EXPECT_EQ(d,
            Json::parse(R"({"Policies":[{"PolicyName":"p","AttachmentCount":2}],"IsTruncated":true,"Marker":"m2"})"));
  const std::string noOutput = "<DeleteRoleResponse><ResponseMetadata/></DeleteRoleResponse>";
  EXPECT_EQ(tarnwick::aws::detail::parseXmlAnswer(m, m.operation("DeleteRole"), noOutput), Json::object());
  EXPECT_THROW(tarnwick::aws::detail::parseXmlAnswer(m, m.operation("ListPolicies"), "<oops"),
               tarnwick::aws::ClientError);
}

TEST(JsonAnswers, TimestampsBecomeIsoTextAndUnknownMembersDrop) {
  const auto& op = serviceModel("ssm").operation("GetParameter");
  const Json d = tarnwick::aws::detail::parseJsonAnswer(
      op, R"({"Parameter":{"Name":"n","Value":"v","Version":3,"LastModifiedDate":1704708000.5,"Extra":1}})");
  EXPECT_EQ(d,
            Json::parse(
                R"({"Parameter":{"Name":"n","Value":"v","Version":3,"LastModifiedDate":"2024-01-08T10:00:00.500Z"}})"));
}

// Whatever an answer holds, reading it ends in the layer's own error naming the operation.
TEST(MalformedAnswers, FailWithTheLayersOwnError) {
  const auto deep = [](const char* open, const char* close) {
    std::string s;
    for (int i = 0; i < 200000; ++i) s += i < 100000 ? open : close;
    return s;
  };
  struct Case {
    const char *service, *operation;
    std::string body;
    const char* why;
  };
  for (const auto& c :
       {Case{"ec2", "DescribeSubnets",
             "<R><subnetSet><item><availableIpAddressCount>99999999999999999999"
             "</availableIpAddressCount></item></subnetSet></R>",
             "availableIpAddressCount is not a 64-bit integer"},
        Case{"s3", "ListObjectsV2", "<R><KeyCount>-</KeyCount></R>", "KeyCount is not a 64-bit integer"},
        Case{"ec2", "DescribeInstances", "<R>" + deep("<a>", "</a>") + "</R>", "nested deeper than 100 levels"},
        Case{"ssm", "GetParameter", R"({"Parameter":{"LastModifiedDate":1e300}})",
             "a timestamp lies outside the years 1 to 9999"},
        Case{"ssm", "GetParameter", R"({"Parameter":{"Version":"3"}})", "long value is a JSON string"},
        Case{"ssm", "GetParameter", deep("[", "]"), "nested deeper than 100 levels"}}) {
    const auto& m = serviceModel(c.service);
    const auto& op = m.operation(c.operation);
    try {
      m.protocol == "json"       ? tarnwick::aws::detail::parseJsonAnswer(op, c.body)
      : m.protocol == "rest-xml" ? tarnwick::aws::detail::parseXmlBody(*op.output, c.body, op.name)
                                 : tarnwick::aws::detail::parseXmlAnswer(m, op, c.body);
      ADD_FAILURE() << "accepted " << c.body.substr(0, 100);
    } catch (const tarnwick::aws::ClientError& e) {
      const std::string format = m.protocol == "json" ? "JSON" : "XML";
      EXPECT_EQ(e.what(), "Malformed " + format + " answer to " + c.operation + ": " + c.why);
      EXPECT_EQ(e.kind(), tarnwick::aws::FailureKind::kMalformedAnswer);
    }
  }
}

TEST(AnswerViews, ReadRecordsAndFailOnMalformedOnesWithTheLayersOwnError) {
  namespace view = tarnwick::aws::view;
  const Json reservations = Json::parse(R"({"Reservations": [{"Instances": [
      {"InstanceId": "i-1", "VpcId": "vpc-1", "State": {"Name": "running"},
       "NetworkInterfaces": [{"NetworkInterfaceId": "eni-1", "Association": {"PublicIp": "3.3.3.3"}}]},
      {"InstanceId": "i-2"}]}]})");
  const auto found = view::instances(reservations);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].state(), "running");
  EXPECT_EQ(found[0].interfaces().at(0).publicIp(), "3.3.3.3");
  EXPECT_EQ(found[1].vpcId() + found[1].publicIp() + found[1].instanceProfileArn(), "");

  struct Case {
    const char* answer;
    std::function<void(const Json&)> read;
    const char* why;
  };
  for (const auto& c : std::vector<Case>{
           {R"({"Reservations": [{"Instances": [{"VpcId": "vpc-1"}]}]})",
            [](const Json& a) { view::instances(a).at(0).id(); }, "no InstanceId"},
           {R"({"Reservations": {"Instances": []}})", [](const Json& a) { view::instances(a); },
            "Reservations is a JSON object"},
           {R"({"Subnets": [{"SubnetId": "subnet-1", "CidrBlock": 10}]})",
            [](const Json& a) { view::subnets(a).at(0).cidr(); }, "CidrBlock is a JSON number"},
           {R"({"NatGatewayId": "nat-1", "SubnetId": "subnet-1", "NatGatewayAddresses": []})",
            [](const Json& a) { view::NatGateway(a, "DescribeNatGateways").firstAddress(); }, "no NatGatewayAddresses"},
           {R"({"Addresses": ["eipalloc-1"]})", [](const Json& a) { view::addresses(a); },
            "a record is a JSON string"}}) {
    try {
      c.read(Json::parse(c.answer));
      ADD_FAILURE() << "accepted " << c.answer;
    } catch (const tarnwick::aws::ClientError& e) {
      EXPECT_EQ(e.kind(), tarnwick::aws::FailureKind::kMalformedAnswer);
      EXPECT_NE(std::string(e.what()).find(std::string(": ") + c.why), std::string::npos) << e.what();
    }
  }
}

TEST(AnswerViews, RouteTableJoinKeepsTheAnswersOrderAndSkipsOrRefusesMainAssociations) {
  const Json tables = Json::parse(R"({"RouteTables": [
      {"RouteTableId": "rtb-1", "Routes": [{"NatGatewayId": "nat-2"}, {"GatewayId": "igw-1"}],
       "Associations": [{"SubnetId": "subnet-b"}, {"Main": true}, {"SubnetId": "subnet-a"}]},
      {"RouteTableId": "rtb-2", "Routes": [{"NatGatewayId": "nat-9"}], "Associations": [{"SubnetId": "subnet-c"}]}]})");
  const auto wanted = [](const std::string& id) { return id == "nat-2"; };
  const auto routed =
      tarnwick::aws::view::routedSubnets(tables, "NatGatewayId", tarnwick::aws::view::MainAssociations::kSkip, wanted);
  ASSERT_EQ(routed.size(), 2u);
  EXPECT_EQ(routed[0].target + " " + routed[0].subnetId + " " + routed[1].subnetId, "nat-2 subnet-b subnet-a");
  EXPECT_THROW(tarnwick::aws::view::routedSubnets(tables, "NatGatewayId",
                                                  tarnwick::aws::view::MainAssociations::kRefuse, wanted),
               tarnwick::aws::ClientError);
}

struct ErrorCase {
  const char* name;
  long status;
  tarnwick::aws::http::Headers headers;
  const char* body;
  tarnwick::aws::detail::ErrorInfo expected;
};

class ErrorFormats : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorFormats, GiveCodeMessageAndRequestId) {
  tarnwick::aws::http::Response r;
  r.status = GetParam().status;
  r.headers = GetParam().headers;
  r.body = GetParam().body;
  const auto e = tarnwick::aws::detail::parseError(r);
  EXPECT_EQ(e.code, GetParam().expected.code);
  EXPECT_EQ(e.message, GetParam().expected.message);
  EXPECT_EQ(e.requestId, GetParam().expected.requestId);
  try {
    tarnwick::aws::detail::throwServiceError(r, "Op");
  } catch (const tarnwick::aws::ServiceError& s) {
    EXPECT_EQ(s.httpStatus(), GetParam().status);
    EXPECT_EQ(s.code(), e.code);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ErrorFormats,
    ::testing::Values(
        ErrorCase{"query",
                  404,
                  {},
                  "<ErrorResponse><Error><Type>Sender</Type><Code>NoSuchEntity</Code><Message>no role</Message>"
                  "</Error><RequestId>req-2</RequestId></ErrorResponse>",
                  {"NoSuchEntity", "no role", "req-2"}},
        ErrorCase{"s3",
                  404,
                  {},
                  "<?xml version=\"1.0\"?>\n<Error><Code>NoSuchKey</Code><Message>none</Message>"
                  "<RequestId>req-3</RequestId></Error>",
                  {"NoSuchKey", "none", "req-3"}},
        ErrorCase{"xml on json",
                  403,
                  {{"x-amzn-requestid", "req-5"}},
                  "<ErrorResponse><Error><Code>InvalidClientTokenId</Code><Message>bad token</Message></Error>"
                  "</ErrorResponse>",
                  {"InvalidClientTokenId", "bad token", "req-5"}},
        ErrorCase{"bare status", 404, {{"x-amz-request-id", "req-6"}}, "", {"404", "Not Found", "req-6"}}),
    [](const auto& info) {
      std::string n = info.param.name;
      for (auto& c : n)
        if (c == ' ') c = '_';
      return n;
    });

TEST(ErrorCodeOf, SuccessHasNone) {
  tarnwick::aws::http::Response ok;
  ok.status = 200;
  ok.body = "<Error><Code>X</Code></Error>";
  EXPECT_EQ(tarnwick::aws::detail::errorCodeOf(ok), "");
  ok.status = 503;
  EXPECT_EQ(tarnwick::aws::detail::errorCodeOf(ok), "X");
}

}  // namespace
