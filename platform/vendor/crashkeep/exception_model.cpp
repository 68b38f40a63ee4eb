#include "platform/vendor/crashkeep/exception_model.h"

#include <utility>

DEVStackFrame DEVStackFrame::stackFrameWithSymbol(std::string symbol,
                                                  std::optional<std::string> file, int64_t line) {
  DEVStackFrame frame;
  frame.symbol_ = std::move(symbol);
  frame.file_ = std::move(file);
  frame.line_ = line;
  return frame;
}

DEVExceptionModel DEVExceptionModel::exceptionModelWithName(std::string name,
                                                            std::optional<std::string> reason) {
  DEVExceptionModel model;
  model.name_ = std::move(name);
  model.reason_ = std::move(reason);
  return model;
}
