#include "diag/KvException.h"

namespace orvane {

namespace {
std::unique_ptr<Exception> cloneOf(const Exception* exception) {
    return std::unique_ptr<Exception>(exception != nullptr ? exception->clone() : nullptr);
}
}  // namespace

Exception::Exception(int code) : code_(code) {}

Exception::Exception(const std::string& msg, int code) : message_(msg), code_(code) {}

Exception::Exception(const std::string& msg, const std::string& arg, int code) : message_(msg), code_(code) {
    if (!arg.empty()) message_.append(": ").append(arg);
}

Exception::Exception(const std::string& msg, const Exception& nested, int code)
    : message_(msg), nested_(nested.clone()), code_(code) {}

Exception::Exception(const Exception& other)
    : std::exception(other),
      message_(other.message_),
      nested_(cloneOf(other.nested_.get())),
      code_(other.code_) {}

Exception::~Exception() noexcept = default;

Exception& Exception::operator=(const Exception& other) {
    if (this == &other) return *this;
    // Copy everything before anything is released: other may be our own nested exception (e = *e.nested()).
    std::unique_ptr<Exception> nested = cloneOf(other.nested_.get());
    std::string message = other.message_;
    const int code = other.code_;
    nested_ = std::move(nested);
    message_ = std::move(message);
    code_ = code;
    return *this;
}

const char* Exception::what() const noexcept {
    return message_.c_str();
}

const char* Exception::name() const noexcept {
    return "Exception";
}

Exception* Exception::clone() const {
    return new Exception(*this);
}

void Exception::rethrow() const {
    throw *this;
}

std::string Exception::displayText() const {
    std::string text = name();
    if (!message_.empty()) text.append(": ").append(message_);
    return text;
}

void Exception::extendedMessage(const std::string& arg) {
    if (arg.empty()) return;
    if (!message_.empty()) message_.append(": ");
    message_.append(arg);
}

#define KV_IMPLEMENT_EXCEPTION(CLASS, BASE, NAME)                                                        \
    CLASS::CLASS(int code) : BASE(code) {}                                                               \
    CLASS::CLASS(const std::string& msg, int code) : BASE(msg, code) {}                                  \
    CLASS::CLASS(const std::string& msg, const std::string& arg, int code) : BASE(msg, arg, code) {}     \
    CLASS::CLASS(const std::string& msg, const Exception& nested, int code) : BASE(msg, nested, code) {} \
    CLASS::CLASS(const CLASS& other) : BASE(other) {}                                                    \
    CLASS::~CLASS() noexcept = default;                                                                  \
    CLASS& CLASS::operator=(const CLASS& other) {                                                        \
        BASE::operator=(other);                                                                          \
        return *this;                                                                                    \
    }                                                                                                    \
    const char* CLASS::name() const noexcept {                                                           \
        return NAME;                                                                                     \
    }                                                                                                    \
    CLASS* CLASS::clone() const {                                                                        \
        return new CLASS(*this);                                                                         \
    }                                                                                                    \
    void CLASS::rethrow() const {                                                                        \
        throw *this;                                                                                     \
    }

KV_EXCEPTION_FAMILY(KV_IMPLEMENT_EXCEPTION)

}  // namespace orvane
