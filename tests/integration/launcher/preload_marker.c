/* A library the user already preloads: it must stay loaded beside ours. */
int kandrel_test_marker = 1;
