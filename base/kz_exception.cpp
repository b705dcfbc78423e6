#include "base/kz_exception.h"

#include "base/utils.h"

namespace korza {
namespace base {

KzParameterError::KzParameterError(const std::string& where, const std::string& parameter,
                                   const std::string& value)
    : KzException(where + ": the '" + parameter + "' parameter contains invalid value '" + value +
                  "'") {}

KzParameterError::KzParameterError(const std::string& where, const std::string& parameter)
    : KzException(where + ": the '" + parameter + "' parameter is invalid") {}

KzSystemError::KzSystemError(const std::string& text, int err)
    : KzException(text + " failed: " + Utils::errorText(err)), code_(err) {}

}  // namespace base
}  // namespace korza
