// Which sanitizer the tests are built with, under g++ and clang alike, for
// the few tests that must adapt to one.
#ifndef QMKUTILS_TESTS_SUPPORT_SANITIZERS_H_
#define QMKUTILS_TESTS_SUPPORT_SANITIZERS_H_

#if defined(__SANITIZE_THREAD__)
#define QMK_TEST_THREAD_SANITIZER 1
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QMK_TEST_ADDRESS_SANITIZER 1
#endif
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QMK_TEST_THREAD_SANITIZER 1
#endif
#if __has_feature(address_sanitizer)
#define QMK_TEST_ADDRESS_SANITIZER 1
#endif
#endif

#endif  // QMKUTILS_TESTS_SUPPORT_SANITIZERS_H_
