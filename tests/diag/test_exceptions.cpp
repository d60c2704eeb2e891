#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>

#include "diag/KvException.h"

namespace orvane {
namespace {

TEST(Exception, NestedChainIsOwnedAndDuplicatedByCloneAndCopy) {
    auto* cause = new ProtocolException("root", 5);
    DataFormatException middle("middle", *cause);
    delete cause;  // the chain must not depend on it
    TimeoutException top("top", middle, 2);
    std::unique_ptr<Exception> clone(top.clone());
    TimeoutException copy(top);
    for (const Exception* e : std::initializer_list<const Exception*>{&top, clone.get(), &copy}) {
        ASSERT_NE(nullptr, e->nested());
        EXPECT_EQ(typeid(DataFormatException), typeid(*e->nested()));
        const Exception* root = e->nested()->nested();
        ASSERT_NE(nullptr, root);
        EXPECT_EQ(typeid(ProtocolException), typeid(*root));
        EXPECT_STREQ("root", root->what());
        EXPECT_EQ(5, root->code());
        EXPECT_EQ(2, e->code());
        if (e == &top) continue;
        EXPECT_NE(top.nested(), e->nested());
        EXPECT_NE(top.nested()->nested(), root);
    }
}

TEST(Exception, AssignmentCopiesMessageCodeAndOwnNestedAndAssigningTheOwnNestedOneIsSafe) {
    IOException cause("cause");
    RuntimeException source("source", cause, 4);
    RuntimeException target("target", ExistsException("old nested"), 1);
    target = source;
    EXPECT_EQ(std::make_pair(std::string("source"), 4), std::make_pair(target.message(), target.code()));
    ASSERT_NE(nullptr, target.nested());
    EXPECT_NE(source.nested(), target.nested());
    EXPECT_EQ(typeid(IOException), typeid(*target.nested()));

    RuntimeException without_nested("plain");
    target = without_nested;
    EXPECT_EQ(nullptr, target.nested());

    // Self-assignment changes nothing.
    RuntimeException e("self", IOException("inner"), 8);
    const Exception* nested_before = e.nested();
    RuntimeException& alias = e;
    e = alias;
    EXPECT_EQ(std::make_pair(std::string("self"), 8), std::make_pair(e.message(), e.code()));
    EXPECT_EQ(nested_before, e.nested());

    // Regression: assigning an exception's own nested one released it before copying from it.
    Exception outer("outer", Exception("inner", IOException("deepest"), 6), 1);
    outer = *outer.nested();
    EXPECT_EQ(std::make_pair(std::string("inner"), 6), std::make_pair(outer.message(), outer.code()));
    ASSERT_NE(nullptr, outer.nested());
    EXPECT_STREQ("deepest", outer.nested()->what());
}

// Whether rethrow() throws something a handler for C catches (and, if `exact`, of class C itself).
template <class C>
bool RethrowIsCaughtAs(const Exception& e, bool exact) {
    try {
        e.rethrow();
    } catch (const C& caught) {
        return !exact || typeid(caught) == typeid(C);
    } catch (...) {
    }
    return false;
}

// The whole family: name text, base class, and a clone and rethrow that keep the class.
template <class T, class Base>
void ExpectFamilyMember(const char* expected_name) {
    SCOPED_TRACE(expected_name);
    static_assert(std::is_base_of<Base, T>::value, "wrong base");
    static_assert(!std::is_same<Base, T>::value, "a class is not its own base");

    T e("msg", "arg", 7);
    EXPECT_STREQ(expected_name, e.name());
    if constexpr (!std::is_same<Base, std::exception>::value) {
        EXPECT_STRNE(e.name(), Base("x").name());
    }
    EXPECT_STREQ("msg: arg", e.what());
    EXPECT_EQ(std::string(expected_name) + ": msg: arg", e.displayText());
    // Code-only and default constructors: no message, and the display text is the bare name.
    const T coded(17);
    EXPECT_EQ(17, coded.code());
    EXPECT_STREQ("", coded.what());
    EXPECT_EQ(expected_name, coded.displayText());
    EXPECT_EQ(nullptr, coded.nested());
    EXPECT_EQ(0, T().code());
    const T message_only("msg");
    EXPECT_EQ(0, message_only.code());
    EXPECT_EQ(std::string(expected_name) + ": msg", message_only.displayText());

    std::unique_ptr<Exception> copy(static_cast<const Exception&>(e).clone());
    EXPECT_EQ(typeid(T), typeid(*copy));
    EXPECT_STREQ("msg: arg", copy->what());
    EXPECT_EQ(7, copy->code());

    EXPECT_TRUE(RethrowIsCaughtAs<T>(*copy, true));
    EXPECT_TRUE(RethrowIsCaughtAs<Base>(e, false));
    T assigned;
    assigned = e;
    EXPECT_STREQ("msg: arg", assigned.what());
    EXPECT_STREQ(expected_name, assigned.name());
}

TEST(ExceptionFamily, EveryClassHasItsNameBaseAndKeepsItsClass) {
    ExpectFamilyMember<Exception, std::exception>("Exception");
    ExpectFamilyMember<ApplicationException, Exception>("Application exception");
    ExpectFamilyMember<LogicException, Exception>("Logic exception");
    ExpectFamilyMember<AssertionViolationException, LogicException>("Assertion violation");
    ExpectFamilyMember<BugcheckException, LogicException>("Bugcheck");
    ExpectFamilyMember<IllegalStateException, LogicException>("Illegal state");
    ExpectFamilyMember<InvalidAccessException, LogicException>("Invalid access");
    ExpectFamilyMember<InvalidArgumentException, LogicException>("Invalid argument");
    ExpectFamilyMember<NotImplementedException, LogicException>("Not implemented");
    ExpectFamilyMember<NullPointerException, LogicException>("Null pointer");
    ExpectFamilyMember<NullValueException, LogicException>("Null value");
    ExpectFamilyMember<RangeException, LogicException>("Out of range");
    ExpectFamilyMember<SignalException, LogicException>("Signal received");
    ExpectFamilyMember<UnhandledException, LogicException>("Unhandled exception");
    ExpectFamilyMember<RuntimeException, Exception>("Runtime exception");
    ExpectFamilyMember<BadCastException, RuntimeException>("Bad cast exception");
    ExpectFamilyMember<DataException, RuntimeException>("Data error");
    ExpectFamilyMember<CircularReferenceException, DataException>("Circular reference");
    ExpectFamilyMember<DataFormatException, DataException>("Bad data format");
    ExpectFamilyMember<SyntaxException, DataException>("Syntax error");
    ExpectFamilyMember<PathSyntaxException, SyntaxException>("Bad path syntax");
    ExpectFamilyMember<ExistsException, RuntimeException>("Exists");
    ExpectFamilyMember<IOException, RuntimeException>("I/O error");
    ExpectFamilyMember<FileException, IOException>("File access error");
    ExpectFamilyMember<CreateFileException, FileException>("Cannot create file");
    ExpectFamilyMember<FileAccessDeniedException, FileException>("Access to file denied");
    ExpectFamilyMember<FileExistsException, FileException>("File exists");
    ExpectFamilyMember<FileNotFoundException, FileException>("File not found");
    ExpectFamilyMember<FileReadOnlyException, FileException>("File is read-only");
    ExpectFamilyMember<OpenFileException, FileException>("Cannot open file");
    ExpectFamilyMember<PathNotFoundException, FileException>("Path not found");
    ExpectFamilyMember<ReadFileException, FileException>("Cannot read file");
    ExpectFamilyMember<WriteFileException, FileException>("Cannot write file");
    ExpectFamilyMember<ProtocolException, IOException>("Protocol error");
    ExpectFamilyMember<LibraryAlreadyLoadedException, RuntimeException>("Library already loaded");
    ExpectFamilyMember<LibraryLoadException, RuntimeException>("Cannot load library");
    ExpectFamilyMember<NoPermissionException, RuntimeException>("No permission");
    ExpectFamilyMember<NoThreadAvailableException, RuntimeException>("No thread available");
    ExpectFamilyMember<NotFoundException, RuntimeException>("Not found");
    ExpectFamilyMember<OutOfMemoryException, RuntimeException>("Out of memory");
    ExpectFamilyMember<PoolOverflowException, RuntimeException>("Pool overflow");
    ExpectFamilyMember<PropertyNotSupportedException, RuntimeException>("Property not supported");
    ExpectFamilyMember<RegularExpressionException, RuntimeException>("Error in regular expression");
    ExpectFamilyMember<SystemException, RuntimeException>("System exception");
    ExpectFamilyMember<TimeoutException, RuntimeException>("Timeout");
    ExpectFamilyMember<UnknownURISchemeException, RuntimeException>("Unknown URI scheme");
}

}  // namespace
}  // namespace orvane
