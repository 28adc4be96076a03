#include "protocol/Framing.h"

#include <vector>

namespace {

// Position (0-based) of the separator that splits the buffer, or npos when
// the buffer holds at most one line with its terminator at the very end.
std::string_view ChooseSeparator(std::string_view b) {
    const size_t n = b.size();
    const size_t nul = b.find('\0');
    if (nul != std::string_view::npos && nul + 1 < n) return kTermNUL;
    const size_t crlf = b.find("\r\n");
    if (crlf != std::string_view::npos && crlf + 1 < n - 1) return kTermCRLF;
    const size_t cr = b.find('\r');
    if (cr != std::string_view::npos && cr + 1 < n && b.substr(cr + 1) != "\n") return kTermCR;
    const size_t lf = b.find('\n');
    if (lf != std::string_view::npos && lf + 1 < n) return kTermLF;
    return {};
}

}  // namespace

void FrameReceivedText(std::string& buffer,
                       const std::function<void(std::string_view line, std::string_view terminator)>& onLine) {
    const std::string_view b = buffer;
    const std::string_view separator = ChooseSeparator(b);

    // Pieces as (start, length), each including its separator except the last.
    std::vector<std::pair<size_t, size_t>> pieces;
    if (separator.empty()) {
        pieces.emplace_back(0, b.size());
    } else {
        size_t start = 0;
        for (size_t hit = b.find(separator); hit != std::string_view::npos; hit = b.find(separator, start)) {
            pieces.emplace_back(start, hit + separator.size() - start);
            start = hit + separator.size();
        }
        pieces.emplace_back(start, b.size() - start);
    }

    size_t consumed = 0;
    for (const auto& [start, length] : pieces) {
        const std::string_view piece = b.substr(start, length);
        std::string_view terminator;
        if (piece.size() >= 2 && piece.substr(piece.size() - 2) == kTermCRLF) {
            terminator = kTermCRLF;
        } else if (!piece.empty() && (piece.back() == '\0' || piece.back() == '\r' || piece.back() == '\n')) {
            terminator = piece.substr(piece.size() - 1);
        } else {
            break;
        }
        consumed = start + length;
        onLine(piece.substr(0, piece.size() - terminator.size()), terminator);
    }
    buffer.erase(0, consumed);
}
