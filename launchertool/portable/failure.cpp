#include "failure.h"

void fail(const std::string& message) {
    throw Failure{message};
}
