// Only here so the precompiled headers have a translation unit of their own.
