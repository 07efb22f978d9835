#include "apps/shared/StandardOptions.h"

#include <string_view>

namespace qtx {

std::string ProgramVersion() {
    return QTX_VERSION;
}

std::optional<int> AnswerStandardOption(int argc, char** argv, const std::string& name,
                                        const std::string& usage, std::ostream& out) {
    if (argc < 2 || argv[1] == nullptr)
        return std::nullopt;
    const std::string_view first = argv[1];
    if (first == "--help" || first == "-h") {
        out << usage;
        if (!usage.empty() && usage.back() != '\n')
            out << '\n';
        out << "See man " << name << " for more.\n";
        out.flush();
        return 0;
    }
    if (first == "--version" || first == "-V") {
        out << name << ' ' << ProgramVersion() << '\n';
        out.flush();
        return 0;
    }
    return std::nullopt;
}

}  // namespace qtx
