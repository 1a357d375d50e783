#include "previewkind.h"

#include "errors/errors.h"

std::string PreviewKind(const std::string& name)
{
    // The extension starts at the last dot of the name.
    const std::size_t dot = name.rfind('.');
    const std::size_t separator = name.find_last_of("\\/:");
    if (dot == std::string::npos || (separator != std::string::npos && separator > dot))
        return {};
    std::string kind = name.substr(dot);
    for (char& c : kind)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    if (kind.compare(0, 2, ".P") == 0)
    {
        // The game numbers the parts of one model .P00, .P01, ...; -1 is what
        // the conversion gives for "not a number", so ".P-1" stays unknown.
        std::int32_t number = -1;
        if (!lgp::TryStrToInt(kind.substr(2, 2), number))
            number = -1;
        if (number != -1)
            kind = ".P";
    }
    return kind;
}

PreviewViewer ViewerForKind(const std::string& kind)
{
    if (kind == ".RSD" || kind == ".TXT")
        return PreviewViewer::Text;
    if (kind == ".HRC")
        return PreviewViewer::Skeleton;
    if (kind == ".P")
        return PreviewViewer::Model;
    if (kind == ".MID")
        return PreviewViewer::Music;
    if (kind == ".TEX")
        return PreviewViewer::Texture;
    return PreviewViewer::None;
}

bool IsKnownPreviewKind(const std::string& kind) { return ViewerForKind(kind) != PreviewViewer::None; }
