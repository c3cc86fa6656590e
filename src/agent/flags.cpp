#include "agent/flags.h"

TQDXFlags QDXFlags;
std::mutex thread_mutex;
