#include "VrlError.h"

namespace vrl {

VrlError::VrlError(int32_t number, QString description, QString source)
    : number_(number), description_(std::move(description)), source_(std::move(source)) {
  what_ = (source_ + QStringLiteral(": ") + description_ + QStringLiteral(" (") +
           QString::number(number_) + QLatin1Char(')'))
              .toStdString();
}

}  // namespace vrl
