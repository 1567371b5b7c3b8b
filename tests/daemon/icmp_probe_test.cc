// Placeholder: the tests arrive with the code they test.
