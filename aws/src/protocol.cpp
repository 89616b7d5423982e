// The wire formats: EC2 query and query serialization, XML and JSON answers, error answers.
#include "protocol.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string_view>

#include <fmt/format.h>
#include <pugixml.hpp>

#include "tarnwick_testlibs/aws/errors.h"
#include "tarnwick_testlibs/base/text.h"

namespace tarnwick::aws::detail {
namespace {

using tarnwick::text::trim;

std::string capitalised(std::string s) {
  if (!s.empty()) s[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
  return s;
}

std::string join(const std::string& prefix, const std::string& name) {
  return prefix.empty() ? name : prefix + "." + name;
}

// ---- validation

bool isScalarOfType(const std::string& type, const Json& v) {
  if (type == "string" || type == "blob") return v.is_string();
  if (type == "integer" || type == "long") return v.is_number_integer();
  if (type == "boolean") return v.is_boolean();
  if (type == "timestamp") return v.is_string() || v.is_number();
  if (type == "double" || type == "float") return v.is_number();
  return true;
}

std::string validTypes(const std::string& type) {
  if (type == "structure" || type == "map") return "object";
  if (type == "list") return "array";
  if (type == "integer" || type == "long") return "integer";
  if (type == "double" || type == "float") return "number";
  if (type == "timestamp") return "string, number";
  return type == "boolean" ? "boolean" : "string";
}

void validateValue(const Shape& s, const Json& v, const std::string& path) {
  const bool ok = s.type == "structure" || s.type == "map" ? v.is_object()
                  : s.type == "list"                       ? v.is_array()
                                                           : isScalarOfType(s.type, v);
  if (!ok)
    throw ClientError(
        fmt::format("Parameter validation failed: Invalid type for parameter {}, value: {}, type: {}, valid types: {}",
                    path, v.dump(), v.type_name(), validTypes(s.type)));
  if (s.type == "structure") {
    for (const auto& [k, item] : v.items()) {
      const MemberRef* m = s.find(k);
      if (!m) {
        std::string names;
        for (const auto& mm : s.members) names += (names.empty() ? "" : ", ") + mm.name;
        throw ClientError(fmt::format(
            "Parameter validation failed: Unknown parameter in {}: \"{}\", must be one of: {}", path, k, names));
      }
      validateValue(*m->shape, item, path == "input" ? k : path + "." + k);
    }
  } else if (s.type == "list") {
    for (size_t i = 0; i < v.size(); ++i) validateValue(*s.member.shape, v[i], fmt::format("{}[{}]", path, i));
  } else if (s.type == "map") {
    for (const auto& [k, item] : v.items()) validateValue(*s.value.shape, item, path + "." + k);
  }
}

std::string uuid4() {
  unsigned char b[16];
  if (RAND_bytes(b, sizeof b) != 1) throw ClientError("Could not generate an idempotency token");
  b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
  std::string hex;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) hex += '-';
    hex += fmt::format("{:02x}", b[i]);
  }
  return hex;
}

// ---- query serialization

std::string scalarText(const Shape& s, const Json& v) {
  if (v.is_boolean()) return v.get<bool>() ? "true" : "false";
  if (v.is_string()) return v.get<std::string>();
  if (s.type == "timestamp") return isoTime(v.get<double>());
  if (v.is_number_integer()) return std::to_string(v.get<long long>());
  return v.dump();
}

struct QueryWriter {
  bool ec2;
  Fields& out;

  std::string memberName(const MemberRef& m) const {
    if (!ec2) return m.wireName();
    if (!m.queryName.empty()) return m.queryName;
    return capitalised(m.wireName());
  }

  void write(const std::string& prefix, const Shape& s, const Json& v) {
    if (s.type == "structure") {
      for (const auto& [k, item] : v.items()) {
        const MemberRef* m = s.find(k);
        if (m) writeMember(prefix, *m, item);
      }
    } else if (s.type == "list") {
      writeList(prefix, s, false, v);
    } else if (s.type == "map") {
      int i = 0;
      for (const auto& [k, item] : v.items()) {
        const std::string entry = fmt::format("{}.entry.{}", prefix, ++i);
        out.emplace_back(entry + "." + (s.key.locationName.empty() ? "key" : s.key.locationName), k);
        write(entry + "." + (s.value.locationName.empty() ? "value" : s.value.locationName), *s.value.shape, item);
      }
    } else {
      out.emplace_back(prefix, scalarText(s, v));
    }
  }

  void writeMember(const std::string& prefix, const MemberRef& m, const Json& v) {
    const std::string name = join(prefix, memberName(m));
    if (m.shape->type == "list")
      writeList(name, *m.shape, m.flattened, v);
    else
      write(name, *m.shape, v);
  }

  // EC2 lists are always flattened (Name.N); query lists are Name.member.N unless flattened.
  void writeList(const std::string& name, const Shape& s, bool memberFlattened, const Json& v) {
    if (v.empty()) {
      if (!ec2) out.emplace_back(name, "");
      return;
    }
    std::string base = name;
    if (!ec2 && !(memberFlattened || s.flattened))
      base += "." + (s.member.locationName.empty() ? std::string("member") : s.member.locationName);
    for (size_t i = 0; i < v.size(); ++i) write(fmt::format("{}.{}", base, i + 1), *s.member.shape, v[i]);
  }
};

// ---- XML answers

// Far deeper than any service answer nests (about a dozen levels), and shallow enough that
// nothing that walks an answer can run out of stack.
constexpr int kMaxAnswerDepth = 100;

// gmtime and the text form hold the years 1 to 9999 only.
constexpr double kFirstIsoSecond = -62135596800.0;  // 0001-01-01T00:00:00Z
constexpr double kEndIsoSecond = 253402300800.0;    // 10000-01-01T00:00:00Z

// Thrown by the answer readers, which do not know the operation; the entry points name it.
class Malformed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

ClientError malformedAnswer(const char* format, const std::string& operation, const std::string& why) {
  return ClientError(fmt::format("Malformed {} answer to {}: {}", format, operation, why),
                     FailureKind::kMalformedAnswer);
}

bool isoTimeRepresentable(double epochSeconds) {
  return epochSeconds >= kFirstIsoSecond && epochSeconds < kEndIsoSecond;  // false for NaN too
}

std::optional<Json> readXml(const pugi::xml_node& node, const Shape& s);

bool isEmptyElement(const pugi::xml_node& node) { return !node.first_child() && !node.first_attribute(); }

// The whole text as a number of type T, or nothing when it is not one or does not fit.
template <class T>
std::optional<T> wholeNumber(std::string_view t) {
  T value{};
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
  if (ec != std::errc() || end != t.data() + t.size()) return std::nullopt;
  return value;
}

std::optional<Json> readScalar(const Shape& s, const pugi::xml_node& node) {
  const std::string_view t = node.child_value();
  if (s.type == "integer" || s.type == "long") {
    if (t.empty()) return std::nullopt;
    if (auto n = wholeNumber<long long>(trim(t))) return Json(*n);
    throw Malformed(fmt::format("{} is not a 64-bit integer", node.name()));
  }
  if (s.type == "boolean") {
    if (t.empty()) return std::nullopt;
    return Json(t == "true");
  }
  if (s.type == "double" || s.type == "float") {
    if (t.empty()) return std::nullopt;
    if (auto d = wholeNumber<double>(trim(t)); d && std::isfinite(*d)) return Json(*d);
    throw Malformed(fmt::format("{} is not a finite number", node.name()));
  }
  return Json(std::string(t));
}

std::string flattenedName(const MemberRef& m) {
  if (!m.shape->member.locationName.empty()) return m.shape->member.locationName;
  return m.wireName();
}

Json readStructure(const pugi::xml_node& node, const Shape& s) {
  Json obj = Json::object();
  for (const auto& m : s.members) {
    if (!m.location.empty()) continue;
    if (m.xmlAttribute) {
      if (auto a = node.attribute(m.wireName().c_str())) obj[m.name] = a.value();
      continue;
    }
    if (m.shape->type == "list" && (m.flattened || m.shape->flattened)) {
      const std::string name = flattenedName(m);
      Json arr = Json::array();
      for (auto c = node.child(name.c_str()); c; c = c.next_sibling(name.c_str()))
        arr.push_back(readXml(c, *m.shape->member.shape).value_or(Json::object()));
      if (!arr.empty()) obj[m.name] = std::move(arr);
      continue;
    }
    if (auto c = node.child(m.wireName().c_str()))
      if (auto v = readXml(c, *m.shape)) obj[m.name] = std::move(*v);
  }
  return obj;
}

Json readMap(const pugi::xml_node& node, const Shape& s) {
  const std::string keyName = s.key.locationName.empty() ? "key" : s.key.locationName;
  const std::string valueName = s.value.locationName.empty() ? "value" : s.value.locationName;
  Json obj = Json::object();
  for (auto e : node.children()) {
    if (e.type() != pugi::node_element) continue;
    if (auto v = readXml(e.child(valueName.c_str()), *s.value.shape))
      obj[e.child_value(keyName.c_str())] = std::move(*v);
  }
  return obj;
}

std::optional<Json> readXml(const pugi::xml_node& node, const Shape& s) {
  if (!node) return std::nullopt;
  if (s.type == "structure") {
    // An empty element (moto's `<association/>` for an interface without a public address)
    // carries nothing, so it reads as absent rather than as an object with no members.
    if (isEmptyElement(node)) return std::nullopt;
    return readStructure(node, s);
  }
  if (s.type == "list") {
    Json arr = Json::array();
    for (auto c : node.children())
      if (c.type() == pugi::node_element) arr.push_back(readXml(c, *s.member.shape).value_or(Json::object()));
    return arr;
  }
  if (s.type == "map") return readMap(node, s);
  return readScalar(s, node);
}

pugi::xml_node rootElement(const pugi::xml_document& doc) {
  for (auto c : doc.children())
    if (c.type() == pugi::node_element) return c;
  return {};
}

// pugixml walks a tree without recursion, so the depth is checked after loading.
class DepthLimit : public pugi::xml_tree_walker {
 public:
  bool for_each(pugi::xml_node&) override {
    exceeded = depth() >= kMaxAnswerDepth;
    return !exceeded;
  }
  bool exceeded = false;
};

void loadXml(pugi::xml_document& doc, const std::string& body) {
  const auto res = doc.load_buffer(body.data(), body.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!res) throw Malformed(res.description());
  DepthLimit limit;
  doc.traverse(limit);
  if (limit.exceeded) throw Malformed(fmt::format("nested deeper than {} levels", kMaxAnswerDepth));
}

// ---- JSON answers

// Counted on the text, before parsing: the parsed document could not even be copied safely.
int jsonDepth(std::string_view text) {
  int depth = 0, deepest = 0;
  bool inString = false, escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

// The callers read members with get<>() by the model's types, so a value of another kind is
// refused here rather than failing (or overflowing) there.
bool isOfShape(const Shape& s, const Json& v) {
  if (s.type == "structure" || s.type == "map") return v.is_object();
  if (s.type == "list") return v.is_array();
  if (s.type == "timestamp") return v.is_number() || v.is_string();
  return isScalarOfType(s.type, v);
}

Json readJson(const Shape& s, const Json& v) {
  if (!isOfShape(s, v)) throw Malformed(fmt::format("{} value is a JSON {}", s.type, v.type_name()));
  if (s.type == "structure") {
    Json obj = Json::object();
    for (const auto& m : s.members)
      if (auto it = v.find(m.wireName()); it != v.end() && !it->is_null()) obj[m.name] = readJson(*m.shape, *it);
    return obj;
  }
  if (s.type == "list") {
    Json arr = Json::array();
    for (const auto& e : v) arr.push_back(readJson(*s.member.shape, e));
    return arr;
  }
  if (s.type == "map") {
    Json obj = Json::object();
    for (const auto& [k, e] : v.items()) obj[k] = readJson(*s.value.shape, e);
    return obj;
  }
  if (s.type == "timestamp" && v.is_number()) {
    if (!isoTimeRepresentable(v.get<double>())) throw Malformed("a timestamp lies outside the years 1 to 9999");
    return isoTime(v.get<double>());
  }
  return v;
}

// ---- errors

std::string reasonPhrase(long status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 409:
      return "Conflict";
    case 412:
      return "Precondition Failed";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "";
  }
}

bool fromXml(const std::string& body, ErrorInfo& e) {
  pugi::xml_document doc;
  if (!doc.load_buffer(body.data(), body.size())) return false;
  const auto root = rootElement(doc);
  if (!root) return false;
  pugi::xml_node err = std::string(root.name()) == "Error" ? root : root.child("Error");
  if (!err) err = root.child("Errors").child("Error");
  if (!err) return false;
  e.code = err.child_value("Code");
  e.message = err.child_value("Message");
  for (const char* n : {"RequestId", "RequestID"}) {
    if (e.requestId.empty()) e.requestId = root.child_value(n);
    if (e.requestId.empty()) e.requestId = err.child_value(n);
  }
  return !e.code.empty();
}

// "com.amazonaws.ssm#ParameterNotFound" and "ParameterNotFound:http://..." name the same code.
std::string bareCode(std::string code) {
  if (auto p = code.find('#'); p != std::string::npos) code = code.substr(p + 1);
  if (auto p = code.find(':'); p != std::string::npos) code = code.substr(0, p);
  return code;
}

bool fromJson(const std::string& body, ErrorInfo& e) {
  const Json j = Json::parse(body, nullptr, false);
  if (!j.is_object()) return false;
  for (const char* k : {"__type", "code", "Code"})
    if (j.contains(k) && j[k].is_string()) {
      e.code = bareCode(j[k]);
      break;
    }
  for (const char* k : {"message", "Message", "errorMessage"})
    if (j.contains(k) && j[k].is_string()) {
      e.message = j[k];
      break;
    }
  return !e.code.empty();
}

size_t firstNonBlank(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  return i;
}

}  // namespace

void validate(const Shape* input, const Json& params) {
  if (!input) {
    if (!params.is_null() && !params.empty())
      throw ClientError("Parameter validation failed: the operation takes no parameters");
    return;
  }
  validateValue(*input, params.is_null() ? Json::object() : params, "input");
}

Json withIdempotencyTokens(const Shape* input, const Json& params) {
  Json out = params.is_null() ? Json::object() : params;
  if (!input) return out;
  for (const auto& m : input->members)
    if (m.idempotencyToken && !out.contains(m.name)) out[m.name] = uuid4();
  return out;
}

Fields serializeQuery(const ServiceModel& model, const Operation& op, const Json& params) {
  Fields out{{"Action", op.name}, {"Version", model.apiVersion}};
  if (op.input && !params.is_null()) QueryWriter{model.protocol == "ec2", out}.write("", *op.input, params);
  return out;
}

std::string serializeJson(const Operation&, const Json& params) {
  return params.is_null() ? std::string("{}") : params.dump();
}

Json parseXmlAnswer(const ServiceModel& model, const Operation& op, const std::string& body) {
  if (!op.output) return Json::object();
  try {
    pugi::xml_document doc;
    loadXml(doc, body);
    pugi::xml_node node = rootElement(doc);
    if (model.protocol == "query") node = node.child(op.resultWrapper.c_str());
    if (!node) return Json::object();
    return readStructure(node, *op.output);
  } catch (const Malformed& e) {
    throw malformedAnswer("XML", op.name, e.what());
  }
}

Json parseXmlBody(const Shape& shape, const std::string& body, const std::string& operation) {
  if (firstNonBlank(body) == body.size()) return Json::object();
  try {
    pugi::xml_document doc;
    loadXml(doc, body);
    return readStructure(rootElement(doc), shape);
  } catch (const Malformed& e) {
    throw malformedAnswer("XML", operation, e.what());
  }
}

Json parseJsonAnswer(const Operation& op, const std::string& body) {
  if (!op.output) return Json::object();
  if (firstNonBlank(body) == body.size()) return Json::object();
  if (jsonDepth(body) > kMaxAnswerDepth)
    throw malformedAnswer("JSON", op.name, fmt::format("nested deeper than {} levels", kMaxAnswerDepth));
  const Json j = Json::parse(body, nullptr, false);
  if (j.is_discarded()) throw malformedAnswer("JSON", op.name, "not JSON");
  try {
    return readJson(*op.output, j);
  } catch (const Malformed& e) {
    throw malformedAnswer("JSON", op.name, e.what());
  }
}

ErrorInfo parseError(const http::Response& r) {
  ErrorInfo e;
  const size_t start = firstNonBlank(r.body);
  if (start < r.body.size()) {
    if (r.body[start] == '<')
      fromXml(r.body, e);
    else
      fromJson(r.body, e);
  }
  if (e.code.empty()) e.code = bareCode(r.header("x-amzn-errortype"));
  if (e.requestId.empty()) e.requestId = r.header("x-amzn-requestid");
  if (e.requestId.empty()) e.requestId = r.header("x-amz-request-id");
  if (e.code.empty()) {
    e.code = std::to_string(r.status);
    if (e.message.empty()) e.message = reasonPhrase(r.status);
  }
  return e;
}

std::string errorCodeOf(const http::Response& r) {
  if (r.status >= 200 && r.status < 300) return "";
  return parseError(r).code;
}

void throwServiceError(const http::Response& r, const std::string& operation) {
  ErrorInfo e = parseError(r);
  throw ServiceError(e.code, e.message, r.status, e.requestId, operation);
}

std::string isoTime(double epochSeconds) {
  if (!isoTimeRepresentable(epochSeconds))
    throw ClientError(fmt::format("Timestamp {} lies outside the years 1 to 9999", epochSeconds));
  // Rounded as a whole, so that 0.9996 s becomes the next second rather than losing its fraction.
  const long long totalMs = std::llround(epochSeconds * 1000.0);
  const auto t = static_cast<std::time_t>(totalMs / 1000 - (totalMs % 1000 < 0));
  const int ms = static_cast<int>(totalMs - static_cast<long long>(t) * 1000);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  if (ms > 0) return fmt::format("{}.{:03d}Z", buf, ms);
  return std::string(buf) + "Z";
}

}  // namespace tarnwick::aws::detail
