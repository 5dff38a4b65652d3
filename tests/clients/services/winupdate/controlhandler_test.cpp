// The update service's answers to service controls, asked in-process.
#include "updateservice.h"

#include <gtest/gtest.h>

namespace {

TEST(UpdateServiceControlHandler, AnswersEachControlKind) {
  ServiceContext context;
  struct Case {
    DWORD control;
    void* context;
    DWORD answer;
  } cases[] = {
      {SERVICE_CONTROL_INTERROGATE, &context, NO_ERROR},
      {SERVICE_CONTROL_PAUSE, &context, NO_ERROR},
      {SERVICE_CONTROL_SHUTDOWN, &context, NO_ERROR},
      {127, &context, NO_ERROR},
      {128, &context, ERROR_CALL_NOT_IMPLEMENTED},
      {200, &context, ERROR_CALL_NOT_IMPLEMENTED},
      {255, &context, ERROR_CALL_NOT_IMPLEMENTED},
      {256, &context, NO_ERROR},
      {SERVICE_CONTROL_STOP, nullptr, ERROR_BAD_ENVIRONMENT},
      {128, nullptr, ERROR_BAD_ENVIRONMENT},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ControlHandler(c.control, 0, nullptr, c.context), c.answer) << "control " << c.control;
}

TEST(UpdateServiceControlHandler, StopBeforeThePreparationFinishedReturnsTheSavedError) {
  // No service main has run in this process: the context is not ready, nothing is reported and
  // the saved error (none yet) is the answer.
  ServiceContext context;
  EXPECT_EQ(ControlHandler(SERVICE_CONTROL_STOP, 0, nullptr, &context), 0u);
}

}  // namespace
