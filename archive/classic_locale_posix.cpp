#include "archive/classic_locale.h"

#include <locale.h>

namespace velorix {

struct ClassicLocaleForThisThread::Saved {
  locale_t classic = static_cast<locale_t>(nullptr);
  locale_t previous = LC_GLOBAL_LOCALE;
};

ClassicLocaleForThisThread::ClassicLocaleForThisThread() : saved_(std::make_unique<Saved>()) {
  saved_->classic = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  if (saved_->classic != static_cast<locale_t>(nullptr)) saved_->previous = ::uselocale(saved_->classic);
}

ClassicLocaleForThisThread::~ClassicLocaleForThisThread() {
  if (saved_->classic == static_cast<locale_t>(nullptr)) return;
  ::uselocale(saved_->previous);
  ::freelocale(saved_->classic);
}

}  // namespace velorix
