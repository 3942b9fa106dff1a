#pragma once
// plat::Collator stands for the platform's locale-aware string ordering, which is ICU's collation.

#include <memory>
#include <string_view>

struct UCollator;

namespace plat {

template <class T> class NeverDestroyed;

class Collator {
public:
    // Orders as the "en_US" locale does; one shared instance, safe from any thread.
    static const Collator& enUS();

    // <0, 0 or >0. Falls back to UTF-16 order when the locale's rules are unavailable.
    int compare(std::string_view a, std::string_view b) const;

    Collator(const Collator&) = delete;
    Collator& operator=(const Collator&) = delete;
    ~Collator();

private:
    template <class T> friend class NeverDestroyed;
    explicit Collator(const char* locale);

    struct Closer {
        void operator()(UCollator* collator) const;
    };
    std::unique_ptr<UCollator, Closer> collator_;
};

} // namespace plat
