#pragma once
// The icons are compiled into the app library, and a static library's resources reach the
// program only when something asks for them: call this before the first icon is loaded.
void useAppResources();
