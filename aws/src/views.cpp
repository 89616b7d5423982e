#include "tarnwick_testlibs/aws/views.h"

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "tarnwick_testlibs/aws/errors.h"

namespace tarnwick::aws::view {

namespace {

const Doc& emptyRecord() {
  static const Doc empty = Doc::object();
  return empty;
}

}  // namespace

Record::Record(const Doc& doc, std::string operation) : doc_(&doc), operation_(std::move(operation)) {
  if (!doc.is_object()) malformed(fmt::format("a record is a JSON {}", doc.type_name()));
}

void Record::malformed(const std::string& why) const {
  throw ClientError(fmt::format("Malformed answer to {}: {}", operation_, why), FailureKind::kMalformedAnswer);
}

const Doc* Record::member(const char* name) const {
  const auto it = doc_->find(name);
  return it == doc_->end() || it->is_null() ? nullptr : &*it;
}

bool Record::has(const char* name) const { return member(name) != nullptr; }

std::string Record::text(const char* name) const {
  if (!has(name)) malformed(fmt::format("no {}", name));
  return textOr(name);
}

std::string Record::textOr(const char* name, const std::string& fallback) const {
  const Doc* value = member(name);
  if (!value) return fallback;
  if (!value->is_string()) malformed(fmt::format("{} is a JSON {}", name, value->type_name()));
  return value->get<std::string>();
}

std::vector<Record> Record::list(const char* name) const {
  std::vector<Record> records;
  const Doc* value = member(name);
  if (!value) return records;
  if (!value->is_array()) malformed(fmt::format("{} is a JSON {}", name, value->type_name()));
  for (const Doc& element : *value) records.emplace_back(element, operation_);
  return records;
}

Record Record::first(const char* name) const {
  const Doc* value = member(name);
  if (!value || (value->is_array() && value->empty())) malformed(fmt::format("no {}", name));
  if (!value->is_array()) malformed(fmt::format("{} is a JSON {}", name, value->type_name()));
  return Record(value->front(), operation_);
}

Record Record::object(const char* name) const {
  const Doc* value = member(name);
  return Record(value ? *value : emptyRecord(), operation_);
}

std::vector<Instance> instances(const Doc& answer, const std::string& operation) {
  std::vector<Instance> views;
  for (const Record& reservation : Record(answer, operation).list("Reservations"))
    for (const Instance& instance : reservation.listAs<Instance>("Instances")) views.push_back(instance);
  return views;
}

std::vector<SecurityGroup> securityGroups(const Doc& answer, const std::string& operation) {
  return Record(answer, operation).listAs<SecurityGroup>("SecurityGroups");
}
std::vector<Subnet> subnets(const Doc& answer, const std::string& operation) {
  return Record(answer, operation).listAs<Subnet>("Subnets");
}
std::vector<Address> addresses(const Doc& answer, const std::string& operation) {
  return Record(answer, operation).listAs<Address>("Addresses");
}

std::vector<RoutedSubnet> routedSubnets(const Doc& answer, const std::string& targetMember, MainAssociations main,
                                        const std::function<bool(const std::string&)>& wanted) {
  std::vector<RoutedSubnet> found;
  for (const Record& table : Record(answer, "DescribeRouteTables").list("RouteTables")) {
    for (const Record& route : table.list("Routes")) {
      const std::string target = route.textOr(targetMember.c_str());
      if (target.empty() || !wanted(target)) continue;
      for (const Record& association : table.list("Associations")) {
        if (!association.has("SubnetId")) {
          if (main == MainAssociations::kSkip) continue;
          throw ClientError("route table " + table.textOr("RouteTableId") + " has an association without a subnet");
        }
        found.push_back({target, association.text("SubnetId")});
      }
    }
  }
  return found;
}

}  // namespace tarnwick::aws::view
