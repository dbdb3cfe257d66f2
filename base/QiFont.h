// QiFont: one FreeType face at a point size and resolution, drawn with
// QiImage::renderText.
//
// All fonts share one FreeType library handle, created by the first QiFont of
// the process and never released. Fonts live for the whole process: the
// destructor releases nothing, so create them with new and keep them (the
// engine holds its fonts until the process ends). A font whose file could not
// be loaded has no face; text drawn with it yields no glyphs. Text is drawn on
// the render thread only; FreeType faces are not shared between threads.
#pragma once

struct FT_FaceRec_;

class QiFont {
public:
    // Loads face 0 of the font file at `path` and sets its character size to
    // `points` (1/72 inch) at `dpi` x `dpi` dots per inch. A failure is traced
    // at level Info and leaves the font without a face.
    QiFont(const char* path, int points, int dpi);
    ~QiFont();
    QiFont(const QiFont&) = delete;
    QiFont& operator=(const QiFont&) = delete;

    // The FreeType face (an FT_Face), or null when none was created.
    FT_FaceRec_* getFace() const { return face ? *face : nullptr; }

    // Separately allocated cell holding the face handle (null until created).
    FT_FaceRec_** face = nullptr;
};
