#pragma once

#include <memory>

namespace velorix {

// libxlsxwriter prints its numbers with the C library's printf, which follows
// the process locale (the window sets it from the environment): under a
// decimal-comma locale it would write "2,1834" into the XML. While one of
// these lives, the calling thread alone uses the "C" locale.
class ClassicLocaleForThisThread {
 public:
  ClassicLocaleForThisThread();
  ~ClassicLocaleForThisThread();
  ClassicLocaleForThisThread(const ClassicLocaleForThisThread&) = delete;
  ClassicLocaleForThisThread& operator=(const ClassicLocaleForThisThread&) = delete;

 private:
  struct Saved;
  std::unique_ptr<Saved> saved_;
};

}  // namespace velorix
