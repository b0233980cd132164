// SPDX-License-Identifier: MIT
// The program that compiles the GoogleTest programs' shared precompiled
// header (cmake/QrvTesting.cmake); it has no tests of its own.
