// The exception family of the receive path. Every class carries a message, an optional owned copy of the
// exception that caused it, and an integer code; subclasses differ only in their type and name() text.
#pragma once

#include <exception>
#include <memory>
#include <string>

namespace orvane {

class Exception : public std::exception {
  public:
    explicit Exception(int code = 0);
    Exception(const std::string& msg, int code = 0);
    // msg, followed by ": " and arg when arg is not empty.
    Exception(const std::string& msg, const std::string& arg, int code = 0);
    // Keeps its own clone of nested.
    Exception(const std::string& msg, const Exception& nested, int code = 0);
    Exception(const Exception& other);
    ~Exception() noexcept override;
    Exception& operator=(const Exception& other);

    // The message, not the name.
    const char* what() const noexcept override;
    virtual const char* name() const noexcept;
    // A heap copy of the most derived class, nested exception included; the caller owns it.
    virtual Exception* clone() const;
    // Throws a copy of itself as its most derived class.
    [[noreturn]] virtual void rethrow() const;

    // name(), then ": " and the message when there is one.
    std::string displayText() const;
    // Appends arg to the message (after ": " when the message is not empty); an empty arg changes nothing.
    void extendedMessage(const std::string& arg);

    const std::string& message() const { return message_; }
    const Exception* nested() const { return nested_.get(); }
    int code() const { return code_; }

  private:
    std::string message_;
    std::unique_ptr<Exception> nested_;
    int code_ = 0;
};

// Declares one subclass with the five constructors, assignment and the three overrides.
#define KV_DECLARE_EXCEPTION(CLASS, BASE)                                               \
    class CLASS : public BASE {                                                         \
      public:                                                                           \
        explicit CLASS(int code = 0);                                                   \
        CLASS(const std::string& msg, int code = 0);                                    \
        CLASS(const std::string& msg, const std::string& arg, int code = 0);            \
        CLASS(const std::string& msg, const ::orvane::Exception& nested, int code = 0); \
        CLASS(const CLASS& other);                                                      \
        ~CLASS() noexcept override;                                                     \
        CLASS& operator=(const CLASS& other);                                           \
        const char* name() const noexcept override;                                     \
        CLASS* clone() const override;                                                  \
        [[noreturn]] void rethrow() const override;                                     \
    };

// The whole family as (class, direct base, name text); a base always comes before its subclasses.
#define KV_EXCEPTION_FAMILY(X)                                                     \
    X(ApplicationException, Exception, "Application exception")                    \
    X(LogicException, Exception, "Logic exception")                                \
    X(AssertionViolationException, LogicException, "Assertion violation")          \
    X(BugcheckException, LogicException, "Bugcheck")                               \
    X(IllegalStateException, LogicException, "Illegal state")                      \
    X(InvalidAccessException, LogicException, "Invalid access")                    \
    X(InvalidArgumentException, LogicException, "Invalid argument")                \
    X(NotImplementedException, LogicException, "Not implemented")                  \
    X(NullPointerException, LogicException, "Null pointer")                        \
    X(NullValueException, LogicException, "Null value")                            \
    X(RangeException, LogicException, "Out of range")                              \
    X(SignalException, LogicException, "Signal received")                          \
    X(UnhandledException, LogicException, "Unhandled exception")                   \
    X(RuntimeException, Exception, "Runtime exception")                            \
    X(BadCastException, RuntimeException, "Bad cast exception")                    \
    X(DataException, RuntimeException, "Data error")                               \
    X(CircularReferenceException, DataException, "Circular reference")             \
    X(DataFormatException, DataException, "Bad data format")                       \
    X(SyntaxException, DataException, "Syntax error")                              \
    X(PathSyntaxException, SyntaxException, "Bad path syntax")                     \
    X(ExistsException, RuntimeException, "Exists")                                 \
    X(IOException, RuntimeException, "I/O error")                                  \
    X(FileException, IOException, "File access error")                             \
    X(CreateFileException, FileException, "Cannot create file")                    \
    X(FileAccessDeniedException, FileException, "Access to file denied")           \
    X(FileExistsException, FileException, "File exists")                           \
    X(FileNotFoundException, FileException, "File not found")                      \
    X(FileReadOnlyException, FileException, "File is read-only")                   \
    X(OpenFileException, FileException, "Cannot open file")                        \
    X(PathNotFoundException, FileException, "Path not found")                      \
    X(ReadFileException, FileException, "Cannot read file")                        \
    X(WriteFileException, FileException, "Cannot write file")                      \
    X(ProtocolException, IOException, "Protocol error")                            \
    X(LibraryAlreadyLoadedException, RuntimeException, "Library already loaded")   \
    X(LibraryLoadException, RuntimeException, "Cannot load library")               \
    X(NoPermissionException, RuntimeException, "No permission")                    \
    X(NoThreadAvailableException, RuntimeException, "No thread available")         \
    X(NotFoundException, RuntimeException, "Not found")                            \
    X(OutOfMemoryException, RuntimeException, "Out of memory")                     \
    X(PoolOverflowException, RuntimeException, "Pool overflow")                    \
    X(PropertyNotSupportedException, RuntimeException, "Property not supported")   \
    X(RegularExpressionException, RuntimeException, "Error in regular expression") \
    X(SystemException, RuntimeException, "System exception")                       \
    X(TimeoutException, RuntimeException, "Timeout")                               \
    X(UnknownURISchemeException, RuntimeException, "Unknown URI scheme")

#define KV_DECLARE_FAMILY_MEMBER(CLASS, BASE, NAME) KV_DECLARE_EXCEPTION(CLASS, BASE)
KV_EXCEPTION_FAMILY(KV_DECLARE_FAMILY_MEMBER)
#undef KV_DECLARE_FAMILY_MEMBER

}  // namespace orvane
