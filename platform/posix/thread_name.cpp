#include <pthread.h>

#include "platform/thread_name.h"

namespace dravik {

void SetCurrentThreadName(const char* name) { pthread_setname_np(pthread_self(), name); }

}  // namespace dravik
