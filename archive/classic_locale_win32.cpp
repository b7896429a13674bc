#include "archive/classic_locale.h"

#include <clocale>
#include <locale.h>
#include <string>

namespace velorix {

// The C runtime's per-thread locale: set for this thread only, then the
// thread's earlier setting comes back.
struct ClassicLocaleForThisThread::Saved {
  int previousMode = -1;
  std::string previousLocale;
};

ClassicLocaleForThisThread::ClassicLocaleForThisThread() : saved_(std::make_unique<Saved>()) {
  saved_->previousMode = ::_configthreadlocale(_ENABLE_PER_THREAD_LOCALE);
  if (const char* now = std::setlocale(LC_ALL, nullptr)) saved_->previousLocale = now;
  std::setlocale(LC_ALL, "C");
}

ClassicLocaleForThisThread::~ClassicLocaleForThisThread() {
  if (!saved_->previousLocale.empty()) std::setlocale(LC_ALL, saved_->previousLocale.c_str());
  if (saved_->previousMode != -1) ::_configthreadlocale(saved_->previousMode);
}

}  // namespace velorix
