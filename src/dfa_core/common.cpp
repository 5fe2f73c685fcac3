#include "dfa_core/common.h"

namespace jorvane::dfa_core {

bool TransitionLabel::operator==(const TransitionLabel& o) const {
    if (kind != o.kind) return false;
    switch (kind) {
        case Kind::Field:
            if (name == o.name) return true;
            return name && o.name && *name == *o.name;
        case Kind::Range:
            return lo == o.lo && hi == o.hi;
        case Kind::RangeFrom:
            return lo == o.lo;
        case Kind::FieldWildcard:
        case Kind::Other:
            return true;
    }
    return false;
}

bool TransitionLabel::matches(const TransitionLabel& symbol) const {
    switch (kind) {
        case Kind::Field:
            return symbol.kind == Kind::Field &&
                   (name == symbol.name || (name && symbol.name && *name == *symbol.name));
        case Kind::FieldWildcard:
            return symbol.kind == Kind::Field || symbol.kind == Kind::Other;
        case Kind::Range:
            return symbol.kind == Kind::Range && lo <= symbol.lo && symbol.hi <= hi;
        case Kind::RangeFrom:
            return symbol.kind == Kind::Range && lo <= symbol.lo;
        case Kind::Other:
            return false;
    }
    return false;
}

}  // namespace jorvane::dfa_core
