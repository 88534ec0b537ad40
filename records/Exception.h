#pragma once

#include <stdexcept>

// The general error raised where a failure cannot be returned as a result
// (a firmware block too large, a settings file that cannot be written). Its
// message is Windows-1251 text for the user.
class Exception : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};
