#pragma once
// Why the package tool will not make, read or compare a package: one message for a person,
// naming where the fault lies (the manifest's key and line, the image's file and record or
// line, the device address).

#include <stdexcept>

namespace patu::pkg {

class Refusal : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace patu::pkg
