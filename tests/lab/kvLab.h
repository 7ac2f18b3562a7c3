// Test fixtures shared by the test programs.
#pragma once
