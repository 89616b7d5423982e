// Links the generated model's shapes by pointer once, so the protocols walk them cheaply.
#include "model.h"

#include <mutex>

#include <fmt/format.h>

#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/base/text.h"

namespace tarnwick::aws::detail {
namespace {

using Json = nlohmann::ordered_json;

MemberRef readRef(const std::string& name, const Json& j, std::map<std::string, Shape>& shapes) {
  MemberRef r;
  r.name = name;
  r.shape = &shapes[j.at("shape").get<std::string>()];
  r.locationName = j.value("locationName", "");
  r.queryName = j.value("queryName", "");
  r.location = j.value("location", "");
  r.flattened = j.value("flattened", false);
  r.idempotencyToken = j.value("idempotencyToken", false);
  r.xmlAttribute = j.value("xmlAttribute", false);
  return r;
}

void readShape(Shape& s, const std::string& name, const Json& j, std::map<std::string, Shape>& shapes) {
  s.name = name;
  s.type = j.at("type").get<std::string>();
  s.flattened = j.value("flattened", false);
  s.locationName = j.value("locationName", "");
  if (s.type == "structure") {
    for (const auto& [m, ref] : j.at("members").items()) s.members.push_back(readRef(m, ref, shapes));
  } else if (s.type == "list") {
    s.member = readRef("member", j.at("member"), shapes);
  } else if (s.type == "map") {
    s.key = readRef("key", j.at("key"), shapes);
    s.value = readRef("value", j.at("value"), shapes);
  }
}

ServiceModel readService(const std::string& name, const Json& j) {
  ServiceModel m;
  m.name = name;
  m.protocol = j.at("protocol");
  m.apiVersion = j.at("apiVersion");
  m.signingName = j.at("signingName");
  m.serviceId = j.at("serviceId");
  m.targetPrefix = j.value("targetPrefix", "");
  m.jsonVersion = j.value("jsonVersion", "");
  for (const auto& [s, body] : j.at("shapes").items()) readShape(m.shapes[s], s, body, m.shapes);
  for (const auto& [o, body] : j.at("operations").items()) {
    Operation op;
    op.name = o;
    if (body.contains("input")) op.input = &m.shapes.at(body["input"].get<std::string>());
    if (body.contains("output")) op.output = &m.shapes.at(body["output"].get<std::string>());
    op.resultWrapper = body.value("resultWrapper", "");
    op.method = body.at("http").at("method");
    op.requestUri = body.at("http").at("requestUri");
    m.operations.emplace(o, std::move(op));
  }
  if (j.contains("waiters")) m.waiters = j["waiters"];
  return m;
}

}  // namespace

const MemberRef* Shape::find(const std::string& memberName) const {
  for (const auto& m : members)
    if (m.name == memberName) return &m;
  return nullptr;
}

const Operation& ServiceModel::operation(const std::string& opName) const {
  auto it = operations.find(opName);
  if (it == operations.end()) it = operations.find(tarnwick::text::camelFromSnake(opName));
  if (it == operations.end()) throw ClientError(fmt::format("Unknown operation {} for service {}", opName, serviceId));
  return it->second;
}

const ServiceModel& serviceModel(const std::string& service) {
  static const std::map<std::string, ServiceModel> models = [] {
    std::map<std::string, ServiceModel> out;
    const auto all = Json::parse(kModelJson);
    for (const auto& [name, body] : all.items()) out.emplace(name, readService(name, body));
    return out;
  }();
  return models.at(service);
}

}  // namespace tarnwick::aws::detail
