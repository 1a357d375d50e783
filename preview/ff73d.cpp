#include "ff73d.h"

#include <GL/gl.h>

void TFF7PPart::Draw() const
{
    glBegin(GL_TRIANGLES);
    for (std::size_t k = 0; k < Polygons.size(); ++k)
    {
        // An index past either array would read outside the model: such a
        // triangle is left out, the others are drawn.
        if (!TriangleDrawable(k))
            continue;
        for (int i = 0; i < 3; ++i)
        {
            const std::size_t index = Polygons[k].Index(i);
            const TFF7Colour& c = Colours[index];
            const TFF7Vertex& v = Vertices[index];
            glColor3f(c.Red, c.Green, c.Blue);
            glVertex3f(v.X, v.Y, v.Z);
        }
    }
    glEnd();
}
