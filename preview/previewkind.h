#pragma once
// Which viewer a double-clicked entry goes to, from its name alone.

#include <string>

// The upper-cased extension with its dot ("" when the name has none), with the
// numbered model parts (".P" then a number in the next two characters: .P0,
// .P01, .P12A, .P-2) turned into ".P". .PAL and .P-1 stay as they are.
std::string PreviewKind(const std::string& name);

// The viewer a kind goes to.
enum class PreviewViewer
{
    None,     // no viewer: the "View As..." chooser decides
    Text,     // ".RSD", ".TXT": the lines of text
    Skeleton, // ".HRC": the lines and the tree of bones
    Model,    // ".P": the 3D window
    Music,    // ".MID": played
    Texture,  // ".TEX": the picture
};

PreviewViewer ViewerForKind(const std::string& kind);

// True for the kinds that have a viewer: ".RSD", ".TXT", ".HRC", ".P", ".MID", ".TEX".
bool IsKnownPreviewKind(const std::string& kind);
