#include "platform/appkit/view_controller.h"

namespace appkit {

ViewController::~ViewController() = default;

}  // namespace appkit
