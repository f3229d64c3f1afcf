#include "view3d/A3DRenderer.h"

#include "view3d/A3DMesh.h"
#include "view3d/A3DView.h"

#include <GL/gl.h>
#include <GL/glu.h>

namespace qvt {

void A3DInitGLState()
{
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);
    glEnable(GL_COLOR_MATERIAL);
    glLightModeli(GL_LIGHT_MODEL_TWO_SIDE, GL_TRUE);
    glLightModeli(GL_LIGHT_MODEL_LOCAL_VIEWER, GL_TRUE);
}

void A3DRender(const TA3DMesh& mesh, const TA3DView& view, int width, int height)
{
    glViewport(0, 0, width, height);
    glShadeModel(GL_SMOOTH);
    const TA3DRgb bg = BGColorToRgb(view.BGColor);
    glClearColor(bg.R / 255.0f, bg.G / 255.0f, bg.B / 255.0f, 1.0f);

    const GLfloat specular[] = {1, 1, 1, 1};
    const GLfloat ambient[] = {0.4f, 0.4f, 0.4f, 1};
    const GLfloat black[] = {0, 0, 0, 1};
    const GLfloat white[] = {1, 1, 1, 1};
    glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, specular);
    glMaterialf(GL_FRONT_AND_BACK, GL_SHININESS, 7.0f);
    glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, ambient);
    glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, black);
    glColorMaterial(GL_FRONT_AND_BACK, GL_DIFFUSE);
    glLightfv(GL_LIGHT0, GL_AMBIENT, black);
    glLightfv(GL_LIGHT0, GL_DIFFUSE, white);
    glLightfv(GL_LIGHT0, GL_SPECULAR, white);
    glEnable(GL_LIGHTING);

    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(45.0, 1.0, 1.0, 2000.0);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslatef(static_cast<GLfloat>(view.VerschiebenX), static_cast<GLfloat>(view.VerschiebenY),
                 static_cast<GLfloat>(view.VerschiebenZ));
    // A directional light, fixed to the camera rather than the surface.
    const GLfloat lightPos[] = {0, -500, -1000, 0};
    glLightfv(GL_LIGHT0, GL_POSITION, lightPos);
    glPushMatrix();
    glRotatef(static_cast<GLfloat>(view.RotierenX), 1, 0, 0);
    glRotatef(static_cast<GLfloat>(view.RotierenY), 0, 1, 0);
    glRotatef(static_cast<GLfloat>(view.RotierenZ), 0, 0, 1);
    glTranslatef(-128, -128, 0);
    if (!mesh.Empty()) {
        glEnableClientState(GL_VERTEX_ARRAY);
        glEnableClientState(GL_NORMAL_ARRAY);
        glEnableClientState(GL_COLOR_ARRAY);
        glVertexPointer(3, GL_FLOAT, 0, mesh.Positions().data());
        glNormalPointer(GL_FLOAT, 0, mesh.Normals().data());
        glColorPointer(3, GL_FLOAT, 0, mesh.Colors().data());
        const int length = mesh.StripLength();
        const uint32_t* indexes = mesh.StripIndexes().data();
        for (int r = 0; r < mesh.StripCount(); ++r)
            glDrawElements(GL_TRIANGLE_STRIP, length, GL_UNSIGNED_INT,
                           indexes + static_cast<std::ptrdiff_t>(r) * length);
        glDisableClientState(GL_COLOR_ARRAY);
        glDisableClientState(GL_NORMAL_ARRAY);
        glDisableClientState(GL_VERTEX_ARRAY);
    }
    glPopMatrix();
    glFlush();
}

} // namespace qvt
