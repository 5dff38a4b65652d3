// The handle owners: what each kind holds when empty, which values it never closes, and that an
// owner closes exactly once, keeping the caller's last-error value.
#include "handles.h"

#include <gtest/gtest.h>

#include <type_traits>

namespace {

// A handle of one convention cannot be handed to an owner of the other.
static_assert(!std::is_constructible_v<FileHandle, KernelHandle&&>);
static_assert(!std::is_assignable_v<KernelHandle&, FileHandle&&>);
static_assert(!std::is_copy_constructible_v<KernelHandle> && std::is_nothrow_move_constructible_v<KernelHandle>);

bool IsOpen(HANDLE handle) {
  DWORD flags = 0;
  return ::GetHandleInformation(handle, &flags) != FALSE;
}

template <typename Owner>
void ExpectEmptyForm(HANDLE empty, const char* kind) {
  Owner owner;
  EXPECT_EQ(owner.Get(), empty) << kind;
  EXPECT_FALSE(owner.IsValid()) << kind;
  // Neither null nor INVALID_HANDLE_VALUE is a kernel handle to close, whatever the convention:
  // closing the second would close nothing, or on some calls the current process's pseudo handle.
  for (HANDLE none : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
    Owner held(none);
    EXPECT_FALSE(held) << kind;
    EXPECT_EQ(held.Take(), none) << kind;
    EXPECT_EQ(held.Get(), empty) << kind << ": Take leaves the empty form";
  }
}

TEST(HandleOwners, EachKernelConventionHasItsOwnEmptyForm) {
  ExpectEmptyForm<KernelHandle>(nullptr, "KernelHandle");
  ExpectEmptyForm<FileHandle>(INVALID_HANDLE_VALUE, "FileHandle");
  ExpectEmptyForm<FindHandle>(INVALID_HANDLE_VALUE, "FindHandle");
  EXPECT_EQ(RegKey().Get(), nullptr);
  EXPECT_EQ(LocalMemory().Get(), nullptr);
}

TEST(HandleOwners, CloseOnceOnEveryPathAndKeepTheLastError) {
  HANDLE first = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE second = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(first && second);
  {
    KernelHandle owner(first);
    ::SetLastError(ERROR_FILE_EXISTS);
    owner.Reset(second);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_FALSE(IsOpen(first));
    EXPECT_TRUE(IsOpen(second));

    KernelHandle moved(std::move(owner));
    EXPECT_FALSE(owner);
    EXPECT_EQ(moved.Get(), second);
  }
  EXPECT_FALSE(IsOpen(second)) << "the last owner closes at the end of its scope";

  HANDLE taken = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(taken);
  { EXPECT_EQ(KernelHandle(taken).Take(), taken); }
  EXPECT_TRUE(IsOpen(taken)) << "a taken handle belongs to the caller";
  ::CloseHandle(taken);

  // Receive hands out the slot for an out-parameter, closing what was held first.
  HANDLE held = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(held);
  KernelHandle token(held);
  HANDLE* slot = token.Receive();
  EXPECT_FALSE(IsOpen(held));
  EXPECT_EQ(*slot, nullptr);
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, slot));
  EXPECT_TRUE(token);
}

}  // namespace
