// pch_anchor.cpp - owner of the precompiled test header; not a test.
