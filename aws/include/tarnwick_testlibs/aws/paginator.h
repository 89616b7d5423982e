// Paging through operations whose answers the services cut into pages: each request carries the
// token that the previous answer handed out, until an answer hands out none.
#pragma once
#include <functional>
#include <memory>
#include <string>

#include "tarnwick_testlibs/aws/services.h"

namespace tarnwick::aws {

// How an operation pages, by the names of the vendor's paginator definitions.
struct PagingTokens {
  std::string inputToken;   // the request member carrying the token ("NextToken", "Marker", ...)
  std::string outputToken;  // the answer member holding the next one
  std::string moreResults;  // an answer flag that must be true for another page ("IsTruncated"), or ""
};

// The tokens of an operation of this layer that pages ("DescribeSubnets", "ListPolicies",
// "GetParametersByPath", "ListObjectsV2", ...), by its model or snake-case name. Throws
// ClientError for an operation without paging.
PagingTokens pagingTokensOf(const std::string& operation);

// One pass over the pages of one call. Pages are requested only as they are asked for.
class Paginator {
 public:
  using Call = std::function<Doc(const Doc& params)>;

  Paginator(Call call, const Doc& params, PagingTokens tokens);
  // An operation of a service client, with its published tokens.
  Paginator(ServiceClient& client, const std::string& operation, const Doc& params);
  ~Paginator();
  Paginator(Paginator&&) noexcept;
  Paginator& operator=(Paginator&&) noexcept;

  // Puts the next answer into `page`; false after the last one. Failures of the call pass
  // through. A service that hands out the token it was just given throws ClientError, since
  // following it would never end.
  bool next(Doc& page);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Every page of one call as one answer: the lists of all pages joined in page order, the other
// members as the first page has them, no paging token. For lookups that must see everything.
Doc allPages(ServiceClient& client, const std::string& operation, const Doc& params);

}  // namespace tarnwick::aws
